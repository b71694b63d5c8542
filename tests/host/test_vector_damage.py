"""Damaged files of the persisted vector store: found, reported with file and
offset, skipped or repaired; answers are never wrong; files of the previous
format (no checksums) still open."""

import json
import logging
import random
import shutil
from pathlib import Path

import pytest

from corvanta.vectorstores.memory import INDEX_FILENAME, PERSIST_FILENAME, VECTORS_FILENAME, InMemoryVectorStore

LEGACY = Path(__file__).parent / "data" / "legacy-store"
WORDS = ["parser", "cache", "index", "ledger", "gateway", "billing", "audit", "queue", "tea", "knows"]
QUERIES = ["parser cache", "billing audit queue", "tea"]
FILTERS = [None, {"user_id": "u1", "org_id": "o1"}, {"org_id": "o2"}]


def build(directory, n=200, per_add=20):
    rng = random.Random(5)
    docs = [(f"d{i}", "|".join(" ".join(rng.choice(WORDS) for _ in range(3)) for _ in range(3)),
             {"user_id": f"u{i % 2}", "org_id": f"o{i % 3}", "note": "x" * rng.randint(10, 80)}) for i in range(n)]
    store = InMemoryVectorStore(persist_directory=directory)
    for lo in range(0, n, per_add):
        part = docs[lo:lo + per_add]
        store.add_texts([t for _, t, _ in part], [m for _, _, m in part], ids=[i for i, _, _ in part])
    store.delete(["d7"])
    return [d for d in docs if d[0] != "d7"]


def answers(store):
    return [[(d.id, d.page_content, d.metadata, s) for d, s in store.similarity_search_with_score(q, 8, f)]
            for q in QUERIES for f in FILTERS]


def reference(docs):
    ref = InMemoryVectorStore()
    for doc_id, text, meta in docs:
        ref.add_texts([text], [meta], ids=[doc_id])
    return ref


def record_spans(directory):
    """(id, start, end) of each add record of the document file."""
    spans, pos = [], 0
    for line in (directory / PERSIST_FILENAME).read_bytes().splitlines(keepends=True):
        rec = json.loads(line)
        if not rec.get("deleted"):
            spans.append((rec["id"], pos, pos + len(line)))
        pos += len(line)
    return spans


def overwrite(path, start, data):
    with open(path, "r+b") as f:
        f.seek(start)
        f.write(data)


DAMAGE = ["vectors overwritten", "index overwritten", "documents overwritten", "documents cut short"]


@pytest.mark.parametrize("damage", DAMAGE)
def test_damage_is_reported_and_answers_stay_right(tmp_path, caplog, damage):
    docs = build(tmp_path)
    spans = record_spans(tmp_path)
    rng = random.Random(damage)
    lost: set[str] = set()
    if damage == "documents overwritten":
        path = tmp_path / PERSIST_FILENAME
        start, garbage = path.stat().st_size // 2, rng.randbytes(1000)
        overwrite(path, start, garbage)
        lost = {doc_id for doc_id, a, b in spans if a < start + len(garbage) and b > start}
    elif damage == "documents cut short":
        path = tmp_path / PERSIST_FILENAME
        cut = path.stat().st_size * 2 // 3
        lost = {doc_id for doc_id, a, b in spans if b > cut}
        with open(path, "r+b") as f:
            f.truncate(cut)
    else:
        path = tmp_path / (VECTORS_FILENAME if damage.startswith("vectors") else INDEX_FILENAME)
        overwrite(path, path.stat().st_size // 2, rng.randbytes(3000 if damage.startswith("vectors") else 300))
    files = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    checked = InMemoryVectorStore.verify(tmp_path)
    thorough = InMemoryVectorStore.open_checked(tmp_path)
    read_only = InMemoryVectorStore(persist_directory=tmp_path, read_only=True)
    # Neither a check nor a read-only open changes anything; nor can a write.
    for write in (lambda: read_only.add_texts(["x"], ids=["new"]), lambda: read_only.delete(["d1"])):
        with pytest.raises(PermissionError, match="read-only"):
            write()
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == files
    assert thorough.problems == checked.problems and len(thorough) == checked.documents
    with caplog.at_level(logging.WARNING, logger="corvanta.vectorstores.memory"):
        reopened = InMemoryVectorStore(persist_directory=tmp_path)
    for found in (checked.problems, reopened.problems):
        assert found and all(p.file == path.name or p.offset is None for p in found)
        assert any(p.offset is not None for p in found)
        assert sum(p.lost for p in found) == len(lost)
    assert any(path.name in r.getMessage() and "at byte" in r.getMessage() for r in caplog.records)
    assert checked.documents == len(reopened) == len(docs) - len(lost)
    survivors = [d for d in docs if d[0] not in lost]
    assert answers(reopened) == answers(read_only) == answers(reference(survivors))

    # Repaired files read back quietly; a damaged document record is reported
    # on every open until the files are compacted.
    again = InMemoryVectorStore(persist_directory=tmp_path)
    assert bool(again.problems) == (damage == "documents overwritten")
    again.compact()
    assert InMemoryVectorStore(persist_directory=tmp_path).problems == []
    assert answers(InMemoryVectorStore(persist_directory=tmp_path)) == answers(reference(survivors))


def test_files_of_the_previous_format_open_and_grow(tmp_path):
    directory = tmp_path / "vs"
    shutil.copytree(LEGACY, directory)
    store = InMemoryVectorStore(persist_directory=directory)
    assert store.problems == [] and store.ids() == ["a", "c", "d"]
    assert store.get("c").metadata == {"user_id": "u2", "org_id": "o1", "n": 3}
    assert [d.id for d, _ in store.similarity_search_with_score("alice", 2, {"user_id": "u1", "org_id": "o1"})] == ["a"]
    store.add_texts(["erin|reads|docs"], [{"user_id": "u1", "org_id": "o1"}], ids=["e"])
    assert InMemoryVectorStore.verify(directory).problems == []
    assert InMemoryVectorStore(persist_directory=directory).ids() == ["a", "c", "d", "e"]


def test_random_bytes_in_vectors_of_the_previous_format_are_found(tmp_path):
    directory = tmp_path / "vs"
    shutil.copytree(LEGACY, directory)
    want = answers(InMemoryVectorStore(persist_directory=directory))
    overwrite(directory / VECTORS_FILENAME, 200, random.Random(1).randbytes(300))
    reopened = InMemoryVectorStore(persist_directory=directory)
    assert [p.derived for p in reopened.problems] == [True]
    assert answers(reopened) == want


def test_compact_keeps_the_documents_and_drops_the_rest(tmp_path):
    docs = build(tmp_path)
    store = InMemoryVectorStore(persist_directory=tmp_path)
    gone = [doc_id for doc_id, _, _ in docs[::2]]
    store.delete(gone)
    before = (tmp_path / PERSIST_FILENAME).stat().st_size
    store.compact()
    assert (tmp_path / PERSIST_FILENAME).stat().st_size < before / 2
    survivors = [d for d in docs if d[0] not in gone]
    assert answers(store) == answers(reference(survivors))
    reopened = InMemoryVectorStore(persist_directory=tmp_path)
    assert reopened.problems == [] and answers(reopened) == answers(store)
    store.delete([survivors[0][0]])
    store.add_texts(["new|fact|here"], [{"user_id": "u1", "org_id": "o1"}], ids=["new"])
    assert InMemoryVectorStore(persist_directory=tmp_path).ids() == [d[0] for d in survivors[1:]] + ["new"]
