"""The persisted, array-scored store against the plain one it replaced: same
documents, same ranking, same scores to the last bit."""

import importlib.util
import json
import random
import sys
from pathlib import Path

import pytest

from corvanta.vectorstores.memory import (INDEX_FILENAME, PERSIST_FILENAME, VECTORS_FILENAME, HashingEmbedding,
                                          InMemoryVectorStore)

_spec = importlib.util.spec_from_file_location(
    "memory_before", Path(__file__).resolve().parents[2] / "bench" / "baseline" / "memory_before.py")
before = importlib.util.module_from_spec(_spec)
sys.modules["memory_before"] = before  # dataclasses look their module up
_spec.loader.exec_module(before)

WORDS = ["parser", "cache", "Index", "ünïcödé", "日本語", "a", "x1", "depends_on", "𝔘𝔫𝔦", "tea", "knows", "42"]


def random_docs(rng, n, org="org", user="user"):
    texts = ["|".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 4))) for _ in range(3))
             for _ in range(n)]
    metas = [{org: rng.choice(["o1", "o2", 1, 1.0, True, None, ["o1"]]), **({user: rng.choice(["u1", "u2", ""])}
              if rng.random() < 0.9 else {}), **({"tags": ["x"]} if rng.random() < 0.1 else {})} for _ in range(n)]
    return texts, metas


def filters(org="org", user="user"):
    return [None, {org: "o1"}, {org: 1}, {org: None}, {org: ["o1"]}, {org: "o2", user: "u1"}, {"tags": ["x"]},
            {user: "nobody"}, {user: None}, {org: "o1", "tags": ["x"]}]


# The second pair are keys the index file keeps the values of.
@pytest.mark.parametrize("keys", [("org", "user"), ("org_id", "user_id")])
@pytest.mark.parametrize("seed", range(4))
def test_search_matches_the_plain_store(tmp_path, seed, keys):
    rng = random.Random(seed)
    texts, metas = random_docs(rng, 400, *keys)
    ids = [f"d{i}" for i in range(len(texts))]
    old, new = before.InMemoryVectorStore(), InMemoryVectorStore(persist_directory=tmp_path)
    for lo in range(0, len(texts), 97):
        old.add_texts(texts[lo:lo + 97], metas[lo:lo + 97], ids[lo:lo + 97])
        new.add_texts(texts[lo:lo + 97], metas[lo:lo + 97], ids[lo:lo + 97])
    gone = rng.sample(ids, 60)
    old.delete(gone)
    new.delete(gone)
    old.add_texts(texts[:5], metas[:5], ids=gone[:5])  # re-added after deletion: to the end
    new.add_texts(texts[:5], metas[:5], ids=gone[:5])
    reopened = InMemoryVectorStore(persist_directory=tmp_path)
    for _ in range(6):
        query = " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 3)))
        for flt in filters(*keys):
            for k in (1, 7, 1000):
                want = [(d.id, d.page_content, d.metadata, s)
                        for d, s in old.similarity_search_with_score(query, k=k, filter=flt)]
                for store in (new, reopened, reopened):  # twice: the second takes the indexed paths
                    got = [(d.id, d.page_content, d.metadata, s)
                           for d, s in store.similarity_search_with_score(query, k=k, filter=flt)]
                    assert got == want, (query, flt, k)


@pytest.mark.parametrize("weights", [(1.0, 0.5), (0.3, 0.7)])
def test_batch_embedding_equals_one_by_one(weights):
    rng = random.Random(7)
    texts, _ = random_docs(rng, 300)
    texts += ["", "|||", "a " * 500]
    emb = HashingEmbedding(dim=64, word_weight=weights[0], trigram_weight=weights[1])
    batch = emb.sparse_batch(texts)
    assert [batch.row(i) for i in range(len(texts))] == [emb.sparse(t) for t in texts]


WORDS = "word " * 13_107  # 65,535 characters; the prefix is 65,536


@pytest.mark.parametrize("text, embedded", [
    (WORDS + "x cut", WORDS + "x"),   # the cut falls after a word: the prefix whole
    (WORDS + "xyz tail", WORDS),      # ... inside a word: that word is left out
    ("w" * 70_000, "w" * 65_536),     # one word longer than the prefix: cut where it must
])
def test_a_long_text_is_embedded_by_its_prefix(text, embedded):
    emb = HashingEmbedding(dim=64)
    assert emb.embedded_part(text) == embedded
    assert emb.sparse(text) == emb.sparse(embedded) == emb.sparse_batch([text]).row(0)


def _vectors(tmp_path):
    return tmp_path / VECTORS_FILENAME


@pytest.mark.parametrize("damage", ["missing", "torn", "other embedding", "documents rewritten"])
def test_vector_file_is_repaired_from_the_documents(tmp_path, damage):
    store = InMemoryVectorStore(persist_directory=tmp_path)
    store.add_texts(["alice|knows|bob", "carol|likes|tea"], ids=["a", "c"])
    store.add_texts(["bob|knows|dave"], ids=["b"])
    want = [(d.id, s) for d, s in store.similarity_search_with_score("alice knows", k=5)]
    vec = _vectors(tmp_path)
    if damage == "missing":
        vec.unlink()
    elif damage == "torn":
        vec.write_bytes(vec.read_bytes()[:-5])
    elif damage == "documents rewritten":
        docs = tmp_path / PERSIST_FILENAME
        docs.write_text(json.dumps({"id": "z", "text": "zed|is|new", "metadata": {}}) + "\n" + docs.read_text())
        want = None
    embedding = HashingEmbedding(dim=32) if damage == "other embedding" else None
    reopened = InMemoryVectorStore(persist_directory=tmp_path, embedding=embedding)
    got = [(d.id, s) for d, s in reopened.similarity_search_with_score("alice knows", k=5)]
    fresh = before.InMemoryVectorStore(persist_directory=tmp_path, embedding=embedding)
    assert got == [(d.id, s) for d, s in fresh.similarity_search_with_score("alice knows", k=5)]
    if want is not None and embedding is None:
        assert got == want
    # The repaired file is read as it is next time.
    size = vec.stat().st_size
    InMemoryVectorStore(persist_directory=tmp_path, embedding=embedding)
    assert vec.stat().st_size == size


def test_delete_follows_the_usual_convention(tmp_path):
    store = InMemoryVectorStore(persist_directory=tmp_path)
    store.add_texts(["a", "b", "c"], ids=["1", "2", "3"])
    assert store.delete(["2", "nope"]) is True
    assert store.delete(["2"]) is True  # already gone: still a success
    assert store.delete() is False and len(store) == 2
    assert store.ids() == ["1", "3"]
    assert InMemoryVectorStore(persist_directory=tmp_path).ids() == ["1", "3"]


@pytest.mark.parametrize("damage", ["missing", "torn", "an older writer added and deleted", "documents rewritten"])
def test_index_file_is_repaired_from_the_documents(tmp_path, damage):
    rng = random.Random(3)
    texts, metas = random_docs(rng, 60, "org_id", "user_id")
    store = InMemoryVectorStore(persist_directory=tmp_path)
    for lo in range(0, 60, 20):
        store.add_texts(texts[lo:lo + 20], metas[lo:lo + 20], [f"d{i}" for i in range(lo, lo + 20)])
    store.delete(["d3", "d40"])
    index, docs = tmp_path / INDEX_FILENAME, tmp_path / PERSIST_FILENAME
    if damage == "missing":
        index.unlink()
    elif damage == "torn":
        index.write_bytes(index.read_bytes()[:-9])
    elif damage == "an older writer added and deleted":
        older = before.InMemoryVectorStore(persist_directory=tmp_path)
        older.add_texts(["late|arrival|o1"], [{"org_id": "o1", "user_id": "u1"}], ids=["late"])
        older.delete(["d5"])
    else:
        records = docs.read_text(encoding="utf-8").splitlines(keepends=True)
        docs.write_text("".join(records[:10] + records[30:]), encoding="utf-8")
    reopened = InMemoryVectorStore(persist_directory=tmp_path)
    fresh = before.InMemoryVectorStore(persist_directory=tmp_path)
    for flt in filters("org_id", "user_id"):
        want = [(d.id, d.page_content, d.metadata, s) for d, s in fresh.similarity_search_with_score("o1 tea", 100, flt)]
        got = [(d.id, d.page_content, d.metadata, s) for d, s in reopened.similarity_search_with_score("o1 tea", 100, flt)]
        assert got == want, flt
    ids = reopened.ids()
    fields = lambda d: (d.id, d.page_content, d.metadata)  # noqa: E731
    assert len(ids) == len(fresh) and [fields(reopened.get(i)) for i in ids] == [fields(fresh.get(i)) for i in ids]
    # Repaired, the index is read as it is next time.
    size = index.stat().st_size
    again = InMemoryVectorStore(persist_directory=tmp_path)
    assert index.stat().st_size == size and again.get_by_ids(ids) == reopened.get_by_ids(ids)
