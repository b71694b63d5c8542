"""Reduction of a metadata copy to the vector store's byte budget, checked
against a plain rendition of the algorithm that serialises the whole copy
again on every pass."""

from __future__ import annotations

import copy
import decimal
import json

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

CUT = "\u2026"
_NOT_FOUND = object()  # a key may itself be None


def size(value) -> int:
    return len(json.dumps(value, separators=(",", ":")).encode("utf-8"))


def reference_clamp(metadata: dict, max_bytes: int) -> dict:
    """The plain algorithm: serialise, halve the first longest text while it
    has more than 64 characters, drop the two bulky keys only at the end."""
    compact = dict(metadata)
    while True:
        blob = json.dumps(compact, separators=(",", ":")).encode("utf-8")
        if len(blob) <= max_bytes:
            return compact
        biggest_key, biggest_len = _NOT_FOUND, 0
        for key, value in compact.items():
            if isinstance(value, str) and len(value) > biggest_len:
                biggest_key, biggest_len = key, len(value)
        if biggest_key is _NOT_FOUND or biggest_len <= 64:
            for drop_key in ("code_content", "docstring"):
                compact.pop(drop_key, None)
            return compact
        compact[biggest_key] = compact[biggest_key][: biggest_len // 2] + CUT


def assert_same_result(result, expected, original):
    """Strict equality: same keys in the same order, same serialised text,
    same value types, and untouched values are the caller's own objects."""
    assert type(result) is dict
    assert result is not original
    assert list(result) == list(expected)
    assert json.dumps(result) == json.dumps(expected)
    for key, value in expected.items():
        assert type(result[key]) is type(value), key
        if value is original.get(key, object()):
            assert result[key] is value, key


@pytest.fixture(scope="module")
def clamp(module):
    return module.DuckSqliteGraph._clamp_metadata_for_vs


def test_reference_follows_the_worked_example():
    metadata = {"a": "x" * 200, "b": "y" * 100}
    assert size(metadata) == 315
    assert size({"a": "x" * 100 + CUT, "b": "y" * 100}) == 221
    assert size({"a": "x" * 50 + CUT, "b": "y" * 100}) == 171
    assert reference_clamp(metadata, 120) == {"a": "x" * 50 + CUT, "b": "y" * 50 + CUT}
    assert size(reference_clamp(metadata, 120)) == 127


def test_worked_example_ends_above_the_budget(clamp):
    metadata = {"a": "x" * 200, "b": "y" * 100}
    result = clamp(metadata, 120)
    assert result == {"a": "x" * 50 + CUT, "b": "y" * 50 + CUT}
    assert list(result) == ["a", "b"]
    assert size(result) == 127


def test_metadata_that_fits_is_returned_as_a_new_dictionary(clamp):
    nested = {"x": [1, 2]}
    metadata = {"user_id": "u", "n": nested, "t": "z" * 500}
    result = clamp(metadata, size(metadata))  # exactly the budget fits
    assert result == metadata and result is not metadata
    assert result["n"] is nested and result["t"] is metadata["t"]
    result["new"] = 1
    del result["user_id"]
    assert list(metadata) == ["user_id", "n", "t"]


@pytest.mark.parametrize(
    ("metadata", "budget", "expected"),
    [
        # A longest value of exactly 64 characters is not halved.
        ({"k": "z" * 64}, 0, {"k": "z" * 64}),
        # One of 65 characters becomes its first 32 and the cut mark.
        ({"k": "z" * 65}, 0, {"k": "z" * 32 + CUT}),
        # One byte over the budget is enough to cut.
        ({"k": "z" * 65}, size({"k": "z" * 65}) - 1, {"k": "z" * 32 + CUT}),
        # Ties: the first inserted is halved first, and one cut is enough here.
        (
            {"p": "a" * 100, "q": "b" * 100},
            size({"p": "a" * 50 + CUT, "q": "b" * 100}),
            {"p": "a" * 50 + CUT, "q": "b" * 100},
        ),
        (
            {"q": "b" * 100, "p": "a" * 100},
            size({"q": "b" * 50 + CUT, "p": "a" * 100}),
            {"q": "b" * 50 + CUT, "p": "a" * 100},
        ),
        # A halved value still longest is halved again, its cut mark counting as a character.
        ({"a": "x" * 1000}, 0, {"a": "x" * 63 + CUT}),
        # Character counts choose and cut; bytes decide: 100 e-acute weigh 602 bytes.
        ({"e": "\u00e9" * 100}, 608, {"e": "\u00e9" * 100}),
        ({"e": "\u00e9" * 100}, 607, {"e": "\u00e9" * 50 + CUT}),
        # A longer ASCII text beats a heavier, shorter non-ASCII one.
        ({"e": "\u00e9" * 100, "a": "a" * 101}, 400, {"e": "\u00e9" * 50 + CUT, "a": "a" * 50 + CUT}),
        ({"s": "\U0001f600" * 70}, 100, {"s": "\U0001f600" * 35 + CUT}),
        # Escapes weigh 2 bytes: quotes, backslashes, control characters.
        ({"q": '"' * 80, "b": "\\" * 80}, 200, {"q": '"' * 40 + CUT, "b": "\\" * 40 + CUT}),
        ({"c": "\x01" * 66}, 6 * 66 + 6, {"c": "\x01" * 33 + CUT}),
        # Empty dictionary: 2 bytes, nothing to halve.
        ({}, 2, {}),
        ({}, 1, {}),
        ({}, 0, {}),
        ({}, -5, {}),
        # code_content and docstring are halved like others, dropped only at the end.
        (
            {"code_content": "c" * 400, "docstring": "d" * 10},
            size({"code_content": "c" * 100 + CUT, "docstring": "d" * 10}),
            {"code_content": "c" * 100 + CUT, "docstring": "d" * 10},
        ),
        (
            {"docstring": "d" * 100, "code_content": "c" * 100, "x": "short"},
            0,
            {"x": "short"},
        ),
        # A budget of 0 halves every long text to 64 characters or fewer, then drops the keys.
        (
            {"a": "x" * 1000, "code_content": "c" * 300, "docstring": "short", "n": 5, "b": "y" * 64},
            0,
            {"a": "x" * 63 + CUT, "n": 5, "b": "y" * 64},
        ),
        ({"a": "x" * 1000, "n": 5}, -(10**30), {"a": "x" * 63 + CUT, "n": 5}),
        ({"a": "x" * 1000, "code_content": "c"}, 10**30, {"a": "x" * 1000, "code_content": "c"}),
        # A key that is None (serialised as "null") is a found key like any other.
        ({None: "0" * 65, "code_content": 1}, 0, {None: "0" * 32 + CUT}),
        # Texts inside lists or nested dictionaries are never looked at.
        (
            {"l": ["x" * 5000], "d": {"t": "y" * 5000}, "code_content": "c" * 70},
            10,
            {"l": ["x" * 5000], "d": {"t": "y" * 5000}},
        ),
    ],
    ids=[
        "64-kept", "65-halved", "one-over", "tie-first-p", "tie-first-q", "repeated-halving",
        "602-bytes-fit", "602-bytes-cut", "chars-not-bytes", "astral", "escapes", "control",
        "empty-2", "empty-1", "empty-0", "empty-negative", "bulky-halved-not-dropped",
        "bulky-dropped", "budget-0", "hugely-negative", "huge", "none-key", "nested-untouched",
    ],
)
def test_examples(clamp, metadata, budget, expected):
    assert reference_clamp(metadata, budget) == expected
    result = clamp(metadata, budget)
    assert_same_result(result, expected, metadata)


def test_non_text_bulk_is_never_reduced(clamp):
    nums = list(range(20_000))
    nested = {"x": "y" * 5000, "z": list(range(100))}
    metadata = {
        "nums": nums, "code_content": "c" * 1000, "meta": nested,
        "docstring": "d" * 500, "t": "short", "f": 1.5, "b": True, "none": None,
    }
    result = clamp(metadata, 100)
    assert list(result) == ["nums", "meta", "t", "f", "b", "none"]
    assert result["nums"] is nums and result["meta"] is nested
    assert nums == list(range(20_000)) and nested == {"x": "y" * 5000, "z": list(range(100))}
    assert size(result) > 100  # returned whatever its size


@pytest.mark.parametrize("budget", [10, 0])
def test_non_text_code_content_is_removed_only_at_the_end(clamp, budget):
    metadata = {"code_content": list(range(100)), "docstring": {"d": "x" * 300}, "x": 1, "t": "y" * 70}
    result = clamp(metadata, budget)
    assert result == {"x": 1, "t": "y" * 35 + CUT}
    # When it fits, nothing is removed.
    assert clamp(metadata, size(metadata)) == metadata


def test_text_subclass_is_halved_into_plain_text_and_kept_otherwise(clamp):
    class Str(str):
        pass

    short, long = Str("s" * 10), Str("L" * 100)
    metadata = {"short": short, "long": long}
    result = clamp(metadata, 0)
    assert result["short"] is short
    assert type(result["long"]) is str and result["long"] == "L" * 50 + CUT


def test_callers_dictionary_is_never_changed(clamp):
    inner = ["x" * 300]
    metadata = {"a": "x" * 5000, "code_content": "c" * 2000, "docstring": "d" * 100, "l": inner}
    snapshot = copy.deepcopy(metadata)
    result = clamp(metadata, 50)
    assert metadata == snapshot and list(metadata) == list(snapshot)
    assert metadata["l"] is inner
    assert result == reference_clamp(snapshot, 50)


@pytest.mark.parametrize(
    ("given_budget", "as_integer"),
    [(77.9, 77), (78.9, 78), (-0.5, 0), (True, 1), (decimal.Decimal("77.99"), 77)],
)
def test_budget_is_normalised_by_integer_conversion(clamp, given_budget, as_integer):
    metadata = {"a": "x" * 70}  # size 78
    assert size(metadata) == 78
    assert clamp(metadata, given_budget) == reference_clamp(metadata, as_integer)


@pytest.mark.parametrize(
    ("given_budget", "error"),
    [("78", TypeError), (None, TypeError), ([78], TypeError),
     (float("nan"), ValueError), (float("inf"), OverflowError)],
)
def test_budget_that_is_no_integer_is_rejected(clamp, given_budget, error):
    with pytest.raises(error):
        clamp({"a": "x" * 70}, given_budget)


@pytest.mark.parametrize(
    ("make", "error"),
    [(lambda: {"s": {1}}, TypeError), (lambda: {(1,): "x" * 100}, TypeError)],
)
def test_unrepresentable_metadata_fails_with_the_serialisers_error(clamp, make, error):
    with pytest.raises(error):
        clamp(make(), 10)


def test_cycle_fails_with_the_serialisers_error(clamp):
    metadata = {"a": "x" * 100}
    metadata["self"] = metadata
    with pytest.raises(ValueError):
        clamp(metadata, 10)


# --- differential test against the plain algorithm ---------------------------

class Str(str):
    pass


_ALPHABETS = [
    st.characters(min_codepoint=0x20, max_codepoint=0x7E),              # printable ASCII
    st.sampled_from('"\\/\b\t\n\f\r\x00\x1f\x7f'),                       # escapes
    st.characters(min_codepoint=0x80, max_codepoint=0x7FF),             # 2-byte UTF-8
    st.characters(min_codepoint=0x800, max_codepoint=0xFFFF, exclude_categories=("Cs",)),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF),       # astral
    st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),          # lone surrogates
    st.just("\u2026"),
]
_chars = st.one_of(*_ALPHABETS)
_short_text = st.text(_chars, max_size=80)


@st.composite
def _long_text(draw):
    piece = draw(st.text(_chars, min_size=1, max_size=12))
    length = draw(st.integers(min_value=0, max_value=2000))
    text = (piece * (length // len(piece) + 1))[:length]
    if draw(st.booleans()):  # sprinkle other characters in
        for _ in range(draw(st.integers(0, 5))):
            at = draw(st.integers(0, len(text)))
            text = text[:at] + draw(_chars) + text[at:]
    return text


_text = st.one_of(_short_text, _long_text(), _long_text().map(Str), _short_text.map(Str))
_scalar = st.one_of(
    st.integers(min_value=-(10**20), max_value=10**20),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.none(),
)
_nested = st.recursive(
    st.one_of(_scalar, _short_text),
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.dictionaries(_short_text, inner, max_size=4)),
    max_leaves=12,
)
_value = st.one_of(_text, _text, _scalar, _nested, st.lists(st.integers(), max_size=300))
_key = st.one_of(
    st.sampled_from(["code_content", "docstring", "user_id", "org_id", "a", "b", "graph_slice_id"]),
    _short_text,
    st.integers(min_value=-1000, max_value=1000),
    st.floats(allow_nan=False),
    st.booleans(),
    st.none(),
)
_metadata = st.dictionaries(_key, _value, max_size=8)


@st.composite
def _case(draw):
    metadata = draw(_metadata)
    full = size(metadata)
    budget = draw(st.one_of(
        st.integers(min_value=-100, max_value=full + 100),
        st.integers(min_value=0, max_value=max(full, 0)),
        st.sampled_from([full, full - 1, full + 1, 0, -1, 2, 1]),
        st.integers(min_value=-(10**30), max_value=10**30),
    ))
    return metadata, budget


@settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(_case())
def test_equals_the_plain_algorithm(clamp, case):
    metadata, budget = case
    before = json.dumps(metadata)
    keys_before = list(metadata)
    expected = reference_clamp(metadata, budget)
    result = clamp(metadata, budget)
    assert_same_result(result, expected, metadata)
    assert json.dumps(metadata) == before and list(metadata) == keys_before


# --- the upsert hands the vector store the same reduced copy ----------------

@pytest.mark.parametrize(
    "metadata",
    [
        {"user_id": "u", "org_id": "o", "code_content": "c" * 70_000, "docstring": "d" * 10_000, "tags": [1, 2]},
        {"user_id": "u", "a": "\u00e9" * 12_000, "b": "\U0001f600" * 3000, "c": "x" * 100},
        {"user_id": "u", "nums": list(range(20_000)), "code_content": "x" * 100, "docstring": "d"},
        {"user_id": "u", "code_content": "q" * 59_970},  # just below, at or above the budget
        {"user_id": "u", "code_content": "q" * 59_971},
        {"user_id": "u", "code_content": "q" * 59_972},
    ],
    ids=["bulky-text", "non-ascii", "non-text-bulk", "fits-below", "fits-exactly", "one-over"],
)
def test_upsert_gives_the_vector_store_the_reduced_copy(store, vector_store, clamp, metadata):
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    expected = reference_clamp(metadata, 60_000)
    assert clamp(metadata, 60_000) == expected
    [(name, args, kwargs)] = vector_store.calls
    assert name == "add_texts"
    [vs_meta] = kwargs["metadatas"]
    assert_same_result(vs_meta, expected, metadata)
    stored = store.conn.execute("SELECT metadata FROM facts WHERE id = ?", [fact_id]).fetchall()
    assert stored == [(json.dumps(metadata, separators=(",", ":")),)]


def test_upsert_budget_boundaries(store, vector_store):
    metadata = {"user_id": "u", "t": "x" * 100}
    full = size(metadata)
    for budget in (full, full - 1, 7.9):
        store._VS_META_MAX = budget
        try:
            store.upsert_fact("s", "p", "o", metadata)
        finally:
            del store._VS_META_MAX
    got = [call[2]["metadatas"][0] for call in vector_store.calls]
    assert got == [metadata, {"user_id": "u", "t": "x" * 50 + CUT}, {"user_id": "u", "t": "x" * 50 + CUT}]


class _CapturingVectorStore:
    def __init__(self):
        self.metadatas = []

    def add_texts(self, texts, metadatas=None, ids=None):
        self.metadatas.extend(metadatas)


def _writable(metadata):
    """The actor keys must hold exact text for the upsert to accept them, and
    the database's JSON column refuses escaped lone surrogates."""
    try:
        json.dumps(metadata, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        assume(False)
    return {k: v for k, v in metadata.items() if k not in ("user_id", "org_id") or type(v) is str}


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(_case())
def test_upsert_path_equals_the_plain_algorithm(started_store, case):
    metadata, budget = case
    metadata = _writable(metadata)
    capture = _CapturingVectorStore()
    saved = started_store.vector_store
    started_store.vector_store = capture
    started_store._VS_META_MAX = budget
    try:
        started_store.upsert_fact("s", "p", "o", metadata)
    finally:
        del started_store._VS_META_MAX
        started_store.vector_store = saved
    [vs_meta] = capture.metadatas
    assert_same_result(vs_meta, reference_clamp(metadata, budget), metadata)
