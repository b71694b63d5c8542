"""Similarity search: what the store asks the vector store, and how it turns
the hits back into triple records."""

from __future__ import annotations

import decimal
import logging
from dataclasses import dataclass
from typing import Any

import pytest

from support import MODULE_NAME

SEARCH = "similarity_search_with_score"
ENTER = "KG search: query=%s user=%s org=%s k=%d"
DONE = "KG search returned %d results for query=%s"


@dataclass
class Doc:
    page_content: Any


def search_calls(vector_store):
    return [(args, kwargs) for name, args, kwargs in vector_store.calls if name == SEARCH]


def search_records(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME and r.msg in (ENTER, DONE)]


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


# ------------------------------------------------------------ the call made


@pytest.mark.parametrize(
    ("kwargs", "sent_k"),
    [({}, 5), ({"k": 1}, 1), ({"k": 17}, 17), ({"k": 0}, 0), ({"k": -3}, -3), ({"k": 10**6}, 10**6)],
)
def test_vector_store_called_with_query_k_and_filter(store, vector_store, kwargs, sent_k):
    vector_store.search_result = []
    store.search("who knows bob", user_id="u1", org_id="o1", **kwargs)
    [(args, kw)] = search_calls(vector_store)
    assert args == ("who knows bob",)
    assert kw == {"k": sent_k, "filter": {"user_id": "u1", "org_id": "o1"}}
    assert type(kw["k"]) is int
    assert list(kw["filter"]) == ["user_id", "org_id"]


@pytest.mark.parametrize(("user", "org"), [("", ""), ("", "o1"), ("u1", ""), ("ü|x", "org with spaces")])
def test_filter_always_has_both_keys_with_values_unchanged(store, vector_store, user, org):
    vector_store.search_result = []
    store.search("q", user_id=user, org_id=org)
    [(_, kw)] = search_calls(vector_store)
    assert list(kw["filter"].items()) == [("user_id", user), ("org_id", org)]


def test_whole_long_query_reaches_vector_store(store, vector_store):
    query = "".join(chr(0x3B1 + i % 20) for i in range(100))
    vector_store.search_result = []
    store.search(query, user_id="u", org_id="o")
    [(args, _)] = search_calls(vector_store)
    assert args == (query,)


@pytest.mark.parametrize(("k", "sent"), [(3.9, 3), (-0.5, 0), (-2.7, -2), (True, 1), (decimal.Decimal("7.99"), 7)])
def test_non_integer_k_is_truncated_before_the_call(store, vector_store, k, sent):
    vector_store.search_result = []
    store.search("q", user_id="u", org_id="o", k=k)
    [(_, kw)] = search_calls(vector_store)
    assert kw["k"] == sent and type(kw["k"]) is int


@pytest.mark.parametrize("k", ["5", None, [5]])
def test_k_that_is_not_a_number_is_refused_before_the_call(store, vector_store, k):
    with pytest.raises(TypeError):
        store.search("q", user_id="u", org_id="o", k=k)
    assert search_calls(vector_store) == []


# ------------------------------------------------------------ records built


def test_records_follow_store_order_with_scores_unchanged(store, vector_store):
    score_obj = object()
    vector_store.search_result = [
        (Doc("zed|likes|tea"), 0.1),
        (Doc("amy|knows|bob"), 0.9),
        (Doc("x|y|z"), score_obj),
        (Doc("p|q|r"), "not a number"),
        (Doc("s|t|u"), -2),
    ]
    got = store.search("q", user_id="u", org_id="o")
    assert got == [
        {"subject": "zed", "predicate": "likes", "object": "tea", "score": 0.1},
        {"subject": "amy", "predicate": "knows", "object": "bob", "score": 0.9},
        {"subject": "x", "predicate": "y", "object": "z", "score": score_obj},
        {"subject": "p", "predicate": "q", "object": "r", "score": "not a number"},
        {"subject": "s", "predicate": "t", "object": "u", "score": -2},
    ]
    assert got[2]["score"] is score_obj
    assert all(list(r) == ["subject", "predicate", "object", "score"] for r in got)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("a|b|c|d|e", ("a", "b", "c|d|e")),  # the object keeps its bars
        ("a|b|", ("a", "b", "")),
        ("||", ("", "", "")),
        ("|||", ("", "", "|")),
        ("a||c", ("a", "", "c")),
        # a subject holding a bar shifts the split: its tail becomes the
        # predicate and predicate|object becomes the object
        ("sub|ject|knows|bob", ("sub", "ject", "knows|bob")),
        ("é|∂|😀|x", ("é", "∂", "😀|x")),
        (" a | b | c ", (" a ", " b ", " c ")),
        ("a\n|b\t|c\r\n", ("a\n", "b\t", "c\r\n")),
    ],
)
def test_page_content_split_at_first_two_bars(store, vector_store, text, expected):
    vector_store.search_result = [(Doc(text), 0.5)]
    [record] = store.search("q", user_id="u", org_id="o")
    assert (record["subject"], record["predicate"], record["object"]) == expected


def test_duplicate_hits_give_duplicate_records(store, vector_store):
    vector_store.search_result = [(Doc("a|b|c"), 0.7), (Doc("a|b|c"), 0.7), (Doc("d|e|f"), 0.2), (Doc("a|b|c"), 0.1)]
    got = store.search("q", user_id="u", org_id="o")
    assert [(r["subject"], r["object"], r["score"]) for r in got] == [
        ("a", "c", 0.7), ("a", "c", 0.7), ("d", "f", 0.2), ("a", "c", 0.1)
    ]


def test_k_does_not_cut_the_hits(store, vector_store):
    vector_store.search_result = [(Doc(f"s{i}|p|o"), i) for i in range(7)]
    got = store.search("q", user_id="u", org_id="o", k=2)
    assert [r["score"] for r in got] == list(range(7))


def test_hits_outside_the_scope_are_returned_as_given(store, vector_store):
    # the vector store applies the filter; the records carry no metadata
    vector_store.search_result = [(Doc("a|b|c"), 1.0)]
    [record] = store.search("q", user_id="someone", org_id="elsewhere")
    assert record == {"subject": "a", "predicate": "b", "object": "c", "score": 1.0}


def _generator_of_hits():
    yield (Doc("a|b|c"), 1)
    yield (Doc("d|e|f"), 2)


class _Hits:
    """An iterable that is neither a list nor a tuple."""

    def __iter__(self):
        return iter([(Doc("a|b|c"), 1), (Doc("d|e|f"), 2)])


@pytest.mark.parametrize(
    "make_hits",
    [
        pytest.param(lambda: [(Doc("a|b|c"), 1), (Doc("d|e|f"), 2)], id="list"),
        pytest.param(lambda: ((Doc("a|b|c"), 1), (Doc("d|e|f"), 2)), id="tuple"),
        pytest.param(_generator_of_hits, id="generator"),
        pytest.param(_Hits, id="custom-iterable"),
        pytest.param(lambda: [[Doc("a|b|c"), 1], [Doc("d|e|f"), 2]], id="hits-as-lists"),
        pytest.param(lambda: [iter((Doc("a|b|c"), 1)), (x for x in (Doc("d|e|f"), 2))], id="hits-as-iterators"),
    ],
)
def test_any_iterable_of_two_item_hits(store, vector_store, make_hits):
    vector_store.search_result = make_hits()
    got = store.search("q", user_id="u", org_id="o")
    assert [(r["subject"], r["object"], r["score"]) for r in got] == [("a", "c", 1), ("d", "f", 2)]


def test_no_hits_give_empty_list_and_zero_in_log(store, vector_store, debug_log):
    vector_store.search_result = ()
    assert store.search("nothing", user_id="u", org_id="o") == []
    assert search_records(debug_log)[-1].args == (0, "nothing")


# ------------------------------------------------------------ failures


@pytest.mark.parametrize(
    ("hits", "message"),
    [
        ([(Doc("a|b|c"), 1, "extra")], "too many values to unpack (expected 2)"),
        ([(Doc("a|b|c"), 1, 2, 3)], "too many values to unpack (expected 2)"),
        ([(Doc("a|b|c"),)], "need more than 1 value to unpack"),
        ([()], "need more than 0 values to unpack"),
        ([(Doc("a|b|c"), 1), (Doc("no bars at all"), 2)], "need more than 1 value to unpack"),
        ([(Doc(""), 1)], "need more than 1 value to unpack"),
        ([(Doc("a|b|c"), 1), (Doc("one|bar"), 2)], "need more than 2 values to unpack"),
        ([(Doc("|"), 1)], "need more than 2 values to unpack"),
        ([(Doc("a|b|c"), 1), (Doc("fine|again|x"), 2), ((Doc("x|y|z"), 1, 2))], "too many values to unpack (expected 2)"),
    ],
)
def test_bad_hit_fails_whole_search_with_value_error(store, vector_store, debug_log, hits, message):
    vector_store.search_result = hits
    with pytest.raises(ValueError) as excinfo:
        store.search("q", user_id="u", org_id="o")
    assert str(excinfo.value) == message
    assert type(excinfo.value) is ValueError
    # the completion line is not written
    assert [r.msg for r in search_records(debug_log)] == [ENTER]


class VectorStoreDown(Exception):
    pass


@pytest.mark.parametrize("error", [VectorStoreDown("down"), ValueError("bad filter"), KeyError("k"), TypeError("t")])
def test_vector_store_errors_propagate_unchanged(store, vector_store, debug_log, error):
    vector_store.fail_with = error
    with pytest.raises(type(error)) as excinfo:
        store.search("q", user_id="u", org_id="o")
    assert excinfo.value is error
    assert [r.msg for r in search_records(debug_log)] == [ENTER]
    assert not [r for r in debug_log.records if r.levelno >= logging.WARNING]


def test_error_while_iterating_hits_propagates(store, vector_store, debug_log):
    def hits():
        yield (Doc("a|b|c"), 1)
        raise VectorStoreDown("mid-iteration")

    vector_store.search_result = hits()
    with pytest.raises(VectorStoreDown, match="mid-iteration"):
        store.search("q", user_id="u", org_id="o")
    assert [r.msg for r in search_records(debug_log)] == [ENTER]


def test_document_without_page_content_raises_attribute_error(store, vector_store):
    vector_store.search_result = [(object(), 1)]
    with pytest.raises(AttributeError):
        store.search("q", user_id="u", org_id="o")


# ------------------------------------------------------------ logging


@pytest.mark.parametrize(
    "query",
    [
        "short",
        "",
        "x" * 40,
        "y" * 60,
        "".join(chr(0x1F600 + i % 50) for i in range(100)),  # code points, not bytes
        "%s %d %(name)s",
    ],
)
def test_log_lines_cut_query_to_60_and_40_chars(store, vector_store, debug_log, query):
    vector_store.search_result = [(Doc("a|b|c"), 1), (Doc("d|e|f"), 2)]
    store.search(query, user_id="user-1", org_id="org-1", k=9)
    enter, done = search_records(debug_log)
    assert enter.levelno == done.levelno == logging.DEBUG
    assert enter.msg == ENTER and enter.args == (query[:60], "user-1", "org-1", 9)
    assert done.msg == DONE and done.args == (2, query[:40])
    assert enter.getMessage() == f"KG search: query={query[:60]} user=user-1 org=org-1 k=9"


def test_log_lines_are_written_before_and_after_the_call(store, vector_store, debug_log):
    seen_during_call = []

    class Spy:
        def similarity_search_with_score(self, *args, **kwargs):
            seen_during_call.extend(r.msg for r in search_records(debug_log))
            return []

    store.vector_store = Spy()
    store.search("q", user_id="u", org_id="o")
    assert seen_during_call == [ENTER]
    assert [r.msg for r in search_records(debug_log)] == [ENTER, DONE]


# ------------------------------------------------------------ with the real vector store


def _facts(store):
    ids = {}
    for subject, predicate, obj, user, org in [
        ("alice", "knows", "bob", "u1", "o1"),
        ("alice", "likes", "green tea", "u1", "o1"),
        ("alice", "knows", "bob", "u2", "o1"),
        ("alice", "knows", "bob", "u1", "o2"),
        ("mallory", "steals", "secrets", "u9", "o9"),
    ]:
        ids[(subject, predicate, obj, user, org)] = store.upsert_fact(
            subject, predicate, obj, {"user_id": user, "org_id": org, "graph_slice_id": f"g-{org}"}
        )
    return ids


def _triples(records):
    return sorted((r["subject"], r["predicate"], r["object"]) for r in records)


@pytest.mark.parametrize(
    ("user", "org", "expected"),
    [
        ("u1", "o1", [("alice", "knows", "bob"), ("alice", "likes", "green tea")]),
        ("u2", "o1", [("alice", "knows", "bob")]),
        ("u1", "o2", [("alice", "knows", "bob")]),
        ("u9", "o9", [("mallory", "steals", "secrets")]),
        ("u9", "o1", []),
        ("u1", "o9", []),
        ("", "", []),
    ],
)
def test_real_store_finds_facts_only_within_their_scope(store, user, org, expected):
    _facts(store)
    got = store.search("alice knows bob", user_id=user, org_id=org, k=10)
    assert _triples(got) == sorted(expected)
    assert all(isinstance(r["score"], float) for r in got)


def test_real_store_ranks_the_closest_fact_first(store):
    _facts(store)
    got = store.search("green tea", user_id="u1", org_id="o1", k=1)
    assert [(r["subject"], r["predicate"], r["object"]) for r in got] == [("alice", "likes", "green tea")]


def test_real_store_keeps_bars_of_the_object(store):
    store.upsert_fact("pipe", "holds", "a|b|c", {"user_id": "u", "org_id": "o"})
    [record] = store.search("pipe holds", user_id="u", org_id="o")
    assert (record["subject"], record["predicate"], record["object"]) == ("pipe", "holds", "a|b|c")


@pytest.mark.parametrize(
    "remove",
    [
        pytest.param(lambda s: s.purge_expired(-1), id="purge"),
        pytest.param(lambda s: s.delete_context(org_id="o1", graph_slice_id="g-o1"), id="delete_context"),
    ],
)
def test_removed_facts_are_still_found_by_search(store, remove):
    _facts(store)
    remove(store)
    assert store.fetch_by_metadata(org_id="o1", filters={}) == []
    got = store.search("alice knows bob", user_id="u1", org_id="o1", k=10)
    assert _triples(got) == [("alice", "knows", "bob"), ("alice", "likes", "green tea")]
