import json
import math
import os
import signal
import subprocess
import sys
import threading
import zlib

import pytest

from corvanta.vectorstores.factory import ENV_PERSIST_DIR, VectorStoreFactory
from corvanta.vectorstores.memory import PERSIST_FILENAME, Document, HashingEmbedding, InMemoryVectorStore


@pytest.fixture
def store():
    return InMemoryVectorStore()


@pytest.fixture
def factory(monkeypatch):
    monkeypatch.delenv(ENV_PERSIST_DIR, raising=False)
    VectorStoreFactory.reset()
    yield VectorStoreFactory
    VectorStoreFactory.reset()


def ids_of(results):
    return [doc.id for doc, _ in results]


# --------------------------------------------------------------- add / search


def test_round_trip_keeps_text_metadata_and_id(store):
    ids = store.add_texts(
        ["alice|knows|bob", "carol|likes|tea"],
        [{"org_id": "o1", "n": 1}, {"org_id": "o2"}],
        ids=["f1", "f2"],
    )
    assert ids == ["f1", "f2"]
    assert len(store) == 2
    assert store.get("f1") == Document(page_content="alice|knows|bob", metadata={"org_id": "o1", "n": 1}, id="f1")
    assert store.get("nope") is None

    (doc, score), _ = store.similarity_search_with_score("alice|knows|bob", k=2)
    assert doc.id == "f1" and doc.metadata == {"org_id": "o1", "n": 1}
    assert score == pytest.approx(1.0)
    assert isinstance(score, float)


def test_stored_metadata_is_isolated_from_callers(store):
    meta = {"org_id": "o1"}
    store.add_texts(["x"], [meta], ids=["a"])
    meta["org_id"] = "changed"
    store.get("a").metadata["org_id"] = "changed too"
    store.similarity_search_with_score("x")[0][0].metadata["org_id"] = "and again"
    assert store.get("a").metadata == {"org_id": "o1"}
    assert ids_of(store.similarity_search_with_score("x", filter={"org_id": "o1"})) == ["a"]


def test_generated_ids_are_unique_hex(store):
    ids = store.add_texts(["a", "b", "c"])
    assert len(set(ids)) == 3
    assert all(len(i) == 32 and int(i, 16) >= 0 for i in ids)
    assert [store.get(i).page_content for i in ids] == ["a", "b", "c"]


@pytest.mark.parametrize(
    "kwargs",
    [
        {"metadatas": [{}]},
        {"metadatas": [{}, {}, {}]},
        {"ids": ["only-one"]},
        {"ids": ["a", "b", "c"]},
    ],
)
def test_length_mismatch_is_refused(store, kwargs):
    with pytest.raises(ValueError):
        store.add_texts(["one", "two"], **kwargs)
    assert len(store) == 0


def test_an_id_repeated_within_a_call_refuses_the_whole_call(store):
    store.add_texts(["original"], [{"v": 0}], ids=["dup"])
    with pytest.raises(ValueError, match="already exists earlier in the same call"):
        store.add_texts(["a", "b", "c"], ids=["new-1", "dup", "new-1"])
    assert len(store) == 1
    assert store.get("new-1") is None
    assert store.get("dup") == Document("original", {"v": 0}, "dup")


@pytest.mark.parametrize("persist", [False, True])
def test_adding_a_stored_id_replaces_its_document(tmp_path, persist):
    s = InMemoryVectorStore(persist_directory=tmp_path if persist else None)
    s.add_texts(["old text", "other"], [{"v": 1, "org_id": "o"}, {"org_id": "o"}], ids=["x", "y"])
    s.add_texts(["new words", "third"], [{"v": 2, "org_id": "p"}, {}], ids=["x", "z"])
    stores = [s] + ([InMemoryVectorStore(persist_directory=tmp_path)] if persist else [])
    for store in stores:
        assert store.ids() == ["y", "x", "z"] and len(store) == 3
        assert store.get("x") == Document("new words", {"v": 2, "org_id": "p"}, "x")
        assert ids_of(store.similarity_search_with_score("old text", k=5, filter={"org_id": "o"})) == ["y"]
        assert ids_of(store.similarity_search_with_score("new words", k=1, filter={"org_id": "p"})) == ["x"]
    if persist:
        assert InMemoryVectorStore.verify(tmp_path).documents == 3


def test_readding_a_deleted_id_is_allowed(store):
    store.add_texts(["a"], ids=["x"])
    assert store.delete(["x", "unknown"]) == 1
    assert store.get("x") is None and len(store) == 0
    store.add_texts(["b"], ids=["x"])
    assert store.get("x").page_content == "b"


FILTER_DOCS = {
    "a": {"org": "o1", "user": "u1"},
    "b": {"org": "o1", "user": ""},
    "c": {"org": "o2", "user": "u1"},
    "d": {},
    "e": {"org": "o1", "user": None},
    "f": {"org": "o1", "user": "u1", "slice": "s1"},
}


@pytest.mark.parametrize(
    "flt, expected",
    [
        (None, set(FILTER_DOCS)),
        ({}, set(FILTER_DOCS)),
        ({"org": "o1"}, {"a", "b", "e", "f"}),
        ({"org": "o1", "user": "u1"}, {"a", "f"}),  # every entry must hold
        ({"user": "u1", "slice": "s1"}, {"f"}),
        ({"user": ""}, {"b"}),  # empty string is a value, not "missing"
        ({"user": None}, {"e"}),  # a missing key does not equal None
        ({"slice": "s1", "org": "o2"}, set()),
        ({"org": "O1"}, set()),
        ({"nokey": ""}, set()),
    ],
)
def test_filter_requires_exact_equality_on_every_entry(store, flt, expected):
    store.add_texts(["same text"] * len(FILTER_DOCS), list(FILTER_DOCS.values()), ids=list(FILTER_DOCS))
    assert set(ids_of(store.similarity_search_with_score("same text", k=100, filter=flt))) == expected


@pytest.mark.parametrize("k, expected", [(-3, 0), (0, 0), (1, 1), (4, 4), (6, 6), (50, 6)])
def test_k_limits_result_count(store, k, expected):
    store.add_texts([f"doc number {i}" for i in range(6)])
    assert len(store.similarity_search_with_score("doc", k=k)) == expected


def test_default_k_is_four(store):
    store.add_texts([f"doc number {i}" for i in range(6)])
    assert len(store.similarity_search_with_score("doc")) == 4


def test_results_are_ranked_by_descending_cosine(store):
    texts = ["alice|knows|bob", "alice|likes|tea", "carol|likes|tea", "dave|works_at|acme", "alice"]
    store.add_texts(texts, ids=texts)
    results = store.similarity_search_with_score("alice knows bob", k=len(texts))
    scores = [s for _, s in results]
    assert scores == sorted(scores, reverse=True)
    assert all(-1.0 <= s <= 1.0 for s in scores)
    emb = HashingEmbedding()
    q = emb.embed_query("alice knows bob")
    for doc, score in results:
        d = emb.embed_query(doc.page_content)
        assert score == pytest.approx(sum(x * y for x, y in zip(q, d)), abs=1e-9)


@pytest.mark.parametrize("flt", [None, {"org": "o"}])
def test_equal_scores_keep_insertion_order(store, flt):
    order = ["zeta", "alpha", "mid", "beta"]
    store.add_texts(["same|text"] * 4, [{"org": "o"}] * 4, ids=order)
    assert ids_of(store.similarity_search_with_score("same text", k=4, filter=flt)) == order
    assert ids_of(store.similarity_search_with_score("same text", k=2, filter=flt)) == order[:2]


def test_query_without_tokens_scores_zero_in_insertion_order(store):
    store.add_texts(["b doc", "a doc"], ids=["b", "a"])
    results = store.similarity_search_with_score("|||", k=2)
    assert ids_of(results) == ["b", "a"]
    assert [s for _, s in results] == [0.0, 0.0]


@pytest.mark.parametrize(
    "query, related, unrelated",
    [
        ("alice knows bob", "alice|knows|bob", "carol|likes|tea"),
        ("Alice KNOWS Bob", "alice|knows|bob", "carol|likes|tea"),
        ("who does alice know", "alice|knows|bob", "carol|likes|tea"),
        ("acme employees", "dave|works_at|acme_corp", "erin|lives_in|paris"),
        ("paris", "erin|lives_in|paris", "dave|works_at|acme_corp"),
    ],
)
def test_similar_text_outranks_unrelated(store, query, related, unrelated):
    # Unrelated first, so insertion order cannot be what puts the related one on top.
    store.add_texts([unrelated, related], ids=["unrelated", "related"])
    results = store.similarity_search_with_score(query, k=2)
    assert ids_of(results) == ["related", "unrelated"]
    assert results[0][1] > results[1][1]


@pytest.mark.parametrize("text", ["alice|knows|bob", "x", "ünïcödé wörds 123", "a " * 300])
def test_embedding_is_unit_length(text):
    vec = HashingEmbedding().embed_query(text)
    assert len(vec) == 256
    assert math.sqrt(sum(v * v for v in vec)) == pytest.approx(1.0)


SCORE_SCRIPT = """
import json, sys
from corvanta.vectorstores.memory import InMemoryVectorStore
s = InMemoryVectorStore()
s.add_texts(json.loads(sys.argv[1]), ids=[str(i) for i in range(len(json.loads(sys.argv[1])))])
print(json.dumps([[d.id, repr(sc)] for d, sc in s.similarity_search_with_score(sys.argv[2], k=100)]))
"""


def test_embedding_is_identical_across_processes(store):
    texts = ["alice|knows|bob", "carol|likes|tea", "bob|knows|carol", "ünïcödé|rel|obj", "dave|works_at|acme"]
    query = "alice knows carol"
    store.add_texts(texts, ids=[str(i) for i in range(len(texts))])
    here = [[d.id, repr(sc)] for d, sc in store.similarity_search_with_score(query, k=100)]
    for seed in ("1", "4242"):
        out = subprocess.run(
            [sys.executable, "-c", SCORE_SCRIPT, json.dumps(texts), query],
            env={**os.environ, "PYTHONHASHSEED": seed},
            capture_output=True, text=True, check=True, cwd=os.path.dirname(__file__),
        )
        assert json.loads(out.stdout) == here


# ---------------------------------------------------------------- persistence


def test_persisted_documents_are_seen_by_a_later_store(tmp_path):
    directory = tmp_path / "nested" / "vs"
    first = InMemoryVectorStore(persist_directory=directory)
    first.add_texts(["alice|knows|bob", "carol|likes|tea"], [{"org": "o1"}, {"org": "o2", "tags": ["x"]}], ids=["a", "c"])
    first.add_texts(["bob|knows|dave"], [{"org": "o1"}], ids=["b"])
    first.delete(["c"])

    second = InMemoryVectorStore(persist_directory=str(directory))
    assert len(second) == 2
    assert second.get("c") is None
    assert second.get("a") == first.get("a")
    query = "alice knows"
    assert second.similarity_search_with_score(query, k=5, filter={"org": "o1"}) == \
        first.similarity_search_with_score(query, k=5, filter={"org": "o1"})
    second.add_texts(["other"], ids=["a"])  # the reopened store knows "a": replaced, not doubled
    assert len(second) == 2 and second.get("a").page_content == "other"


def test_refused_add_writes_nothing(tmp_path):
    s = InMemoryVectorStore(persist_directory=tmp_path)
    s.add_texts(["one"], ids=["1"])
    with pytest.raises(ValueError, match="already exists"):
        s.add_texts(["two", "again"], ids=["2", "2"])
    with pytest.raises(TypeError):
        s.add_texts(["three"], [{"bad": object()}], ids=["3"])
    assert len(s) == 1
    assert len(InMemoryVectorStore(persist_directory=tmp_path)) == 1


def test_each_add_is_on_disk_before_it_returns(tmp_path):
    s = InMemoryVectorStore(persist_directory=tmp_path)
    s.add_texts(["one", "two"], [{"k": "v"}, {}], ids=["1", "2"])
    lines = (tmp_path / PERSIST_FILENAME).read_bytes().splitlines()
    # Each line is JSON led by the CRC-32 of the rest of the line.
    assert [zlib.crc32(line[16:]) for line in lines] == [int(json.loads(line)["c"], 16) for line in lines]
    assert [{k: v for k, v in json.loads(line).items() if k != "c"} for line in lines] == [
        {"id": "1", "text": "one", "metadata": {"k": "v"}},
        {"id": "2", "text": "two", "metadata": {}},
    ]


def test_truncated_last_line_is_skipped_and_later_writes_survive(tmp_path):
    InMemoryVectorStore(persist_directory=tmp_path).add_texts(["kept", "torn\nline"], ids=["kept", "torn"])
    path = tmp_path / PERSIST_FILENAME
    data = path.read_bytes()
    path.write_bytes(data[: len(data) - 7])  # cut into the last record

    second = InMemoryVectorStore(persist_directory=tmp_path)
    assert [second.get("kept") is not None, second.get("torn") is None] == [True, True]
    second.add_texts(["after the crash"], ids=["new"])

    third = InMemoryVectorStore(persist_directory=tmp_path)
    assert {third.get(i).page_content for i in ("kept", "new")} == {"kept", "after the crash"}
    assert len(third) == 2


# -------------------------------------------------------------------- factory


def test_default_store_is_one_lazily_created_instance(factory):
    s = factory.get_store()
    assert isinstance(s, InMemoryVectorStore)
    assert s.persist_directory is None
    assert factory.get_store() is s


def test_set_store_swaps_and_none_restores_default(factory):
    default = factory.get_store()
    default.add_texts(["old"], ids=["old"])
    replacement = object()
    factory.set_store(replacement)
    assert factory.get_store() is replacement
    factory.set_store(None)
    fresh = factory.get_store()
    assert isinstance(fresh, InMemoryVectorStore)
    assert len(fresh) == 0


def test_configure_reopens_persisted_store(factory, tmp_path):
    factory.set_store(object())
    factory.configure(persist_directory=tmp_path)
    s = factory.get_store()
    assert isinstance(s, InMemoryVectorStore) and factory.get_store() is s
    s.add_texts(["alice|knows|bob"], ids=["a"])

    factory.configure(persist_directory=tmp_path)
    reopened = factory.get_store()
    assert reopened is not s
    assert reopened.get("a").page_content == "alice|knows|bob"


@pytest.mark.parametrize("configured", ["none", "other", "unset"])
def test_env_var_applies_unless_configure_was_called(factory, monkeypatch, tmp_path, configured):
    env_dir, other = tmp_path / "env", tmp_path / "other"
    monkeypatch.setenv(ENV_PERSIST_DIR, str(env_dir))
    expected = {"none": None, "other": str(other), "unset": str(env_dir)}[configured]
    if configured != "unset":
        factory.configure(persist_directory=None if configured == "none" else other)
    s = factory.get_store()
    assert s.persist_directory == expected
    s.add_texts(["x"], ids=["x"])
    assert (env_dir / PERSIST_FILENAME).exists() == (configured == "unset")


def test_env_var_is_read_when_default_store_is_created(factory, monkeypatch, tmp_path):
    assert factory.get_store().persist_directory is None
    monkeypatch.setenv(ENV_PERSIST_DIR, str(tmp_path))
    assert factory.get_store().persist_directory is None  # already created
    factory.set_store(None)
    assert factory.get_store().persist_directory == str(tmp_path)


def test_concurrent_first_use_yields_a_single_store(factory):
    got, barrier = [], threading.Barrier(8)

    def worker():
        barrier.wait()
        got.append(factory.get_store())

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({id(s) for s in got}) == 1


# ------------------------------------------------------------- thread safety


def run_threads(n, target):
    barrier, errors = threading.Barrier(n), []

    def wrap(i):
        barrier.wait()
        try:
            target(i)
        except BaseException as exc:  # noqa: BLE001 - surfaced below
            errors.append(exc)

    threads = [threading.Thread(target=wrap, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


@pytest.mark.parametrize("persist", [False, True])
def test_concurrent_adds_are_all_kept(tmp_path, persist):
    s = InMemoryVectorStore(persist_directory=tmp_path if persist else None)

    def add(t):
        for i in range(500):
            s.add_texts([f"thread {t} doc {i}"], [{"t": t}], ids=[f"{t}-{i}"])

    assert run_threads(8, add) == []
    assert len(s) == 4000
    assert all(s.get(f"{t}-{i}").page_content == f"thread {t} doc {i}" for t in range(8) for i in range(500))
    assert len(s.similarity_search_with_score("doc", k=10_000, filter={"t": 3})) == 500
    if persist:
        reloaded = InMemoryVectorStore(persist_directory=tmp_path)
        assert len(reloaded) == 4000


def test_concurrent_adds_of_one_id_keep_exactly_one_document(store):
    def add(t):
        for i in range(50):
            store.add_texts([f"from {t}"], [{"t": t}], ids=[f"shared-{i}"])

    assert run_threads(8, add) == []
    assert len(store) == 50
    for i in range(50):
        doc = store.get(f"shared-{i}")
        assert doc.page_content == f"from {doc.metadata['t']}"
    assert len(store.similarity_search_with_score("from", k=1000)) == 50


@pytest.mark.parametrize("cut", ["_insert", "_drop", "_append"])
def test_ctrl_c_inside_a_change_is_raised_after_it_completes(tmp_path, monkeypatch, cut):
    """SIGINT arrives in the middle of an add that replaces a document: the
    add completes, then KeyboardInterrupt is raised; the lock is free and the
    files hold what memory holds."""
    s = InMemoryVectorStore(persist_directory=tmp_path)
    s.add_texts(["old"], [{"v": 1}], ids=["x"])
    real = getattr(s, cut)

    def signalled(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGINT)  # its handler runs at the next bytecode
        return real(*args, **kwargs)

    monkeypatch.setattr(s, cut, signalled)
    with pytest.raises(KeyboardInterrupt):
        s.add_texts(["new", "more"], [{"v": 2}, {}], ids=["x", "y"])
    monkeypatch.undo()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert s.get_by_ids(["x", "y"]) == [Document("new", {"v": 2}, "x"), Document("more", {}, "y")]
    s.add_texts(["later"], ids=["z"])  # the lock was released
    assert [d.id for d in InMemoryVectorStore(persist_directory=tmp_path).get_by_ids(["x", "y", "z"])] == ["x", "y", "z"]
