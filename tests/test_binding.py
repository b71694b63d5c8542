"""Argument binding and checking, common to every operation: binding errors
(counts include `self`), exact-type checks with the note for subclasses of
built-in types, integer normalisation, result checks, and `__new__`, which
ignores its arguments."""

from __future__ import annotations

import datetime
import decimal
import fractions
import hashlib
import pathlib
from dataclasses import dataclass

import pytest

POS, KW = "pos", "kw"
REQUIRED = object()

# Operation -> parameters in order: (name, kind, expected type name, default).
PARAMETERS = {
    "__init__": [("persist_path", POS, "str", REQUIRED)],
    "_ensure_schema": [],
    "_clamp_metadata_for_vs": [("metadata", POS, "dict", REQUIRED), ("max_bytes", POS, "int", REQUIRED)],
    "_det_id": [("triple", POS, "str", REQUIRED), ("user_id", POS, "str", REQUIRED),
                ("org_id", POS, "str", REQUIRED)],
    "upsert_fact": [("subject", POS, "str", REQUIRED), ("predicate", POS, "str", REQUIRED),
                    ("obj", POS, "str", REQUIRED), ("metadata", POS, "dict", REQUIRED)],
    "search": [("query", POS, "str", REQUIRED), ("user_id", KW, "str", REQUIRED),
               ("org_id", KW, "str", REQUIRED), ("k", KW, "int", 5)],
    "get_neighbours": [("entity", POS, "str", REQUIRED), ("depth", POS, "int", 2)],
    "purge_expired": [("days", POS, "int", 90)],
    "delete_context": [("org_id", KW, "str", REQUIRED), ("graph_slice_id", KW, "str", REQUIRED)],
    "fetch_by_metadata": [("org_id", KW, "str", REQUIRED), ("filters", KW, "dict", REQUIRED)],
}
STATIC = {"_clamp_metadata_for_vs", "_det_id"}
VALID = {"str": "s", "dict": {}, "int": 1}

SUBCLASS_NOTE_WORD = "subclass"


@dataclass(frozen=True)
class Op:
    name: str
    via: str  # "instance": bound method; "class": through the class; "construct": calling the class

    @property
    def params(self):
        return PARAMETERS[self.name]

    @property
    def self_count(self) -> int:
        # The instance counts as a positional argument, whichever way it is passed.
        return 0 if self.name in STATIC else 1

    def call(self, store, *args, **kwargs):
        cls = type(store)
        if self.via == "construct":
            return cls(*args, **kwargs)
        if self.via == "class":
            fn = getattr(cls, self.name)
            return fn(*args, **kwargs) if self.name in STATIC else fn(store, *args, **kwargs)
        return getattr(store, self.name)(*args, **kwargs)

    def __str__(self) -> str:
        return f"{self.name}[{self.via}]"


OPS = [Op("__init__", "construct"), Op("__init__", "instance")] + [
    Op(name, via) for name in PARAMETERS if name != "__init__" for via in ("instance", "class")
]


def positional(op):
    return [p for p in op.params if p[1] == POS]


def required_keywords(op):
    return {p[0]: VALID[p[2]] for p in op.params if p[1] == KW and p[3] is REQUIRED}


def valid_positional(op):
    return [VALID[p[2]] for p in positional(op) if p[3] is REQUIRED]


def plural(n: int) -> str:
    return "" if n == 1 else "s"


def cases(select):
    """One case per operation and per value that `select` yields for it (a
    tuple of further arguments, or a single one)."""
    out = []
    for op in OPS:
        for extra in select(op):
            extra = extra if isinstance(extra, tuple) else (extra,)
            out.append(pytest.param(op, *extra, id="-".join([str(op), *map(str, extra)])))
    return out


@pytest.fixture
def untouched(store):
    """Asserts after the test that the failed call did no work."""
    yield store
    assert store.vector_store.calls == []
    assert store.conn.execute("SELECT count(*) FROM facts").fetchone() == (0,)


def raises_type_error(op, store, *args, **kwargs) -> TypeError:
    with pytest.raises(TypeError) as info:
        op.call(store, *args, **kwargs)
    return info.value


# --- binding errors ---------------------------------------------------------

@pytest.mark.parametrize("op", cases(lambda op: [()]))
def test_too_many_positional_arguments(untouched, op):
    pos = positional(op)
    args = [VALID[p[2]] for p in pos] + ["extra"]
    expected = len(pos) + op.self_count
    word = "exactly" if all(p[3] is REQUIRED for p in pos) else "at most"
    err = raises_type_error(op, untouched, *args, **required_keywords(op))
    assert str(err) == (f"{op.name}() takes {word} {expected} positional argument{plural(expected)} "
                        f"({len(args) + op.self_count} given)")


def _too_few(op):
    required = [p for p in positional(op) if p[3] is REQUIRED]
    return sorted({0, len(required) - 1}) if required else []


@pytest.mark.parametrize("op, given", cases(_too_few))
def test_too_few_positional_arguments(untouched, op, given):
    pos = positional(op)
    required = valid_positional(op)
    expected = len(required) + op.self_count
    word = "exactly" if len(required) == len(pos) else "at least"
    err = raises_type_error(op, untouched, *required[:given], **required_keywords(op))
    assert str(err) == (f"{op.name}() takes {word} {expected} positional argument{plural(expected)} "
                        f"({given + op.self_count} given)")


@pytest.mark.parametrize("op, missing", cases(lambda op: list(required_keywords(op))))
def test_missing_keyword_only_argument(untouched, op, missing):
    kwargs = required_keywords(op)
    del kwargs[missing]
    err = raises_type_error(op, untouched, *valid_positional(op), **kwargs)
    assert str(err) == f"{op.name}() needs keyword-only argument {missing}"


@pytest.mark.parametrize("op", cases(lambda op: [()]))
def test_unexpected_keyword_argument(untouched, op):
    err = raises_type_error(op, untouched, *valid_positional(op), **required_keywords(op), bogus=1)
    assert str(err) == f"{op.name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("op, name", cases(lambda op: [p[0] for p in positional(op)]))
def test_multiple_values_for_an_argument(untouched, op, name):
    args = [VALID[p[2]] for p in positional(op)]
    value = VALID[next(p[2] for p in op.params if p[0] == name)]
    err = raises_type_error(op, untouched, *args, **required_keywords(op), **{name: value})
    assert str(err) == f"{op.name}() got multiple values for keyword argument '{name}'"


@pytest.mark.parametrize("call, message", [
    (lambda s: s.search("q", "u", org_id="o"), "search() takes exactly 2 positional arguments (3 given)"),
    (lambda s: s.search("q", "u", "o"), "search() takes exactly 2 positional arguments (4 given)"),
    (lambda s: s.delete_context("o", "g"), "delete_context() takes exactly 1 positional argument (3 given)"),
    (lambda s: s.fetch_by_metadata("o", filters={}),
     "fetch_by_metadata() takes exactly 1 positional argument (2 given)"),
    (lambda s: s.search("q", user_id="u"), "search() needs keyword-only argument org_id"),
])
def test_keyword_only_parameters_cannot_be_passed_positionally(untouched, call, message):
    with pytest.raises(TypeError) as info:
        call(untouched)
    assert str(info.value) == message


# --- exact-type checks -------------------------------------------------------

class StrSub(str):
    pass


class DictSub(dict):
    pass


BAD_VALUES = {
    "str": [(None, "NoneType"), (1, "int"), (b"s", "bytes"), (pathlib.PurePosixPath("s"), "PurePosixPath")],
    "dict": [(None, "NoneType"), ([], "list"), ("{}", "str"), ((("a", "b"),), "tuple")],
}
SUBCLASS_VALUES = {"str": (StrSub("s"), "StrSub"), "dict": (DictSub(), "DictSub")}


def _checked_params(op):
    return [p for p in op.params if p[2] in ("str", "dict")]


def call_with(op, store, name, value, by_keyword):
    args = [VALID[p[2]] for p in positional(op)]
    kwargs = {p[0]: VALID[p[2]] for p in op.params if p[1] == KW}
    if by_keyword or name in kwargs:
        if name not in kwargs:
            index = [p[0] for p in positional(op)].index(name)
            args = args[:index]
            kwargs = {p[0]: VALID[p[2]] for p in op.params[index:]} | kwargs
        kwargs[name] = value
    else:
        args[[p[0] for p in positional(op)].index(name)] = value
    return raises_type_error(op, store, *args, **kwargs)


def _bad_cases(op):
    out = []
    for name, kind, tname, _ in _checked_params(op):
        for value, got in BAD_VALUES[tname]:
            out.append((name, tname, got, value, kind == KW))
            if kind == POS:
                out.append((name, tname, got, value, True))
    return out


@pytest.mark.parametrize("op, name, tname, got, value, by_keyword", [
    pytest.param(op, *c, id=f"{op}-{c[0]}-{c[2]}-{'kw' if c[4] else 'pos'}") for op in OPS for c in _bad_cases(op)
])
def test_wrong_type_is_rejected(untouched, op, name, tname, got, value, by_keyword):
    err = call_with(op, untouched, name, value, by_keyword)
    assert str(err) == f"Argument '{name}' has incorrect type (expected {tname}, got {got})"
    assert getattr(err, "__notes__", []) == []


@pytest.mark.parametrize("op, name, tname", [
    pytest.param(op, p[0], p[2], id=f"{op}-{p[0]}") for op in OPS for p in _checked_params(op)
])
def test_subclass_of_builtin_type_is_rejected_with_a_note(untouched, op, name, tname):
    value, got = SUBCLASS_VALUES[tname]
    err = call_with(op, untouched, name, value, by_keyword=False)
    assert str(err) == f"Argument '{name}' has incorrect type (expected {tname}, got {got})"
    notes = getattr(err, "__notes__", [])
    assert len(notes) == 1
    assert SUBCLASS_NOTE_WORD in notes[0].lower()


@pytest.mark.parametrize("call, name", [
    (lambda s: s.upsert_fact(None, 1, b"", None), "subject"),
    (lambda s: s.upsert_fact(metadata=None, obj=None, predicate="p", subject="s"), "obj"),
    (lambda s: s.fetch_by_metadata(filters=None, org_id=None), "org_id"),
    (lambda s: s.delete_context(graph_slice_id=None, org_id=1), "org_id"),
    (lambda s: type(s)._det_id(org_id=None, user_id=None, triple="t"), "user_id"),
])
def test_first_rejected_parameter_in_declaration_order_is_reported(untouched, call, name):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        call(untouched)


def test_started_store_still_rejects_bad_construction_arguments(started_store):
    cls = type(started_store)
    before = dict(vars(started_store))
    with pytest.raises(TypeError, match=r"^Argument 'persist_path' has incorrect type \(expected str, got NoneType\)$"):
        cls(None)
    assert vars(started_store) == before


# --- integer normalisation ---------------------------------------------------

class IntSub(int):
    pass


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __int__(self):
        return 11


@pytest.mark.parametrize("value, expected", [
    (5, 5),
    (7.9, 7),
    (-7.9, -7),
    (2.0, 2),
    (True, 1),
    (False, 0),
    (decimal.Decimal("3.7"), 3),
    (fractions.Fraction(7, 2), 3),
    (IntSub(4), 4),
    (IndexOnly(6), 6),
    (IntOnly(), 11),
    (2**70, 2**70),
], ids=repr)
def test_integer_argument_is_normalised(store, vector_store, value, expected):
    vector_store.search_result = []
    store.search("q", user_id="u", org_id="o", k=value)
    (_, _, kwargs), = vector_store.calls
    assert type(kwargs["k"]) is int
    assert kwargs["k"] == expected


def test_default_integer_is_used_when_omitted(store, vector_store):
    vector_store.search_result = []
    store.search("q", user_id="u", org_id="o")
    assert vector_store.calls[0][2]["k"] == 5


class RecordingTimedelta:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return datetime.timedelta(*args, **kwargs)


@pytest.mark.parametrize("value, expected", [(7.9, 7), (True, 1), (decimal.Decimal("-2.5"), -2), (None, 90)])
def test_purge_days_is_normalised(module, store, monkeypatch, value, expected):
    recorder = RecordingTimedelta()
    monkeypatch.setattr(module, "timedelta", recorder)
    if value is None:
        store.purge_expired()
    else:
        store.purge_expired(value)
    (_, kwargs), = recorder.calls
    assert type(kwargs["days"]) is int and kwargs["days"] == expected


def test_depth_is_normalised(store):
    for s, o in [("a", "b"), ("b", "c"), ("c", "d"), ("d", "e")]:
        store.upsert_fact(s, "r", o, {"user_id": "u", "org_id": "o"})
    two, three = store.get_neighbours("a", 2), store.get_neighbours("a", 3)
    assert two != three  # the depth is observable
    assert store.get_neighbours("a", 2.9) == two
    assert store.get_neighbours("a", depth=2.0) == two
    assert store.get_neighbours("a", True) == store.get_neighbours("a", 1)


def test_max_bytes_is_normalised(module):
    clamp = module.DuckSqliteGraph._clamp_metadata_for_vs
    metadata = {"a": "x" * 400, "b": "y" * 100}
    budget = next(b for b in range(10, 600) if clamp(metadata, b) != clamp(metadata, b + 1))
    assert clamp(metadata, budget + 0.9) == clamp(metadata, budget)
    assert clamp(metadata, decimal.Decimal(budget) + decimal.Decimal("0.5")) == clamp(metadata, budget)


INT_PARAMS = [
    ("max_bytes", lambda s, v: type(s)._clamp_metadata_for_vs({}, v)),
    ("max_bytes", lambda s, v: type(s)._clamp_metadata_for_vs(metadata={}, max_bytes=v)),
    ("k", lambda s, v: s.search("q", user_id="u", org_id="o", k=v)),
    ("depth", lambda s, v: s.get_neighbours("a", v)),
    ("depth", lambda s, v: s.get_neighbours("a", depth=v)),
    ("days", lambda s, v: s.purge_expired(v)),
    ("days", lambda s, v: s.purge_expired(days=v)),
]


@pytest.mark.parametrize("name, call", INT_PARAMS, ids=[n for n, _ in INT_PARAMS])
@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), decimal.Decimal("NaN")], ids=repr)
def test_integer_conversion_errors_reach_the_caller_unchanged(untouched, name, call, value):
    try:
        int(value)
    except (ValueError, OverflowError) as expected:
        expected_type, expected_text = type(expected), str(expected)
    with pytest.raises(expected_type) as info:
        call(untouched, value)
    assert type(info.value) is expected_type
    assert str(info.value) == expected_text


@pytest.mark.parametrize("name, call", INT_PARAMS, ids=[n for n, _ in INT_PARAMS])
@pytest.mark.parametrize("value, got", [
    ("7", "str"), ("", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes"), (object(), "object"),
], ids=repr)
def test_non_numbers_are_rejected_naming_int(untouched, name, call, value, got):
    with pytest.raises(TypeError) as info:
        call(untouched, value)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


def test_complex_is_rejected_naming_int(untouched):
    with pytest.raises(TypeError) as info:
        untouched.search("q", user_id="u", org_id="o", k=2 + 0j)
    assert str(info.value) == "Argument 'k' has incorrect type (expected int, got complex)"


@pytest.mark.parametrize("call, exc, text", [
    (lambda s: s.search(None, user_id="u", org_id="o", k="x"), TypeError,
     "Argument 'k' has incorrect type (expected int, got str)"),
    (lambda s: s.search(None, user_id="u", org_id="o", k=float("nan")), ValueError,
     "cannot convert float NaN to integer"),
    (lambda s: type(s)._clamp_metadata_for_vs(None, "x"), TypeError,
     "Argument 'max_bytes' has incorrect type (expected int, got str)"),
    (lambda s: s.get_neighbours(None, None), TypeError,
     "Argument 'depth' has incorrect type (expected int, got NoneType)"),
])
def test_integers_are_normalised_before_other_arguments_are_checked(untouched, call, exc, text):
    with pytest.raises(exc) as info:
        call(untouched)
    assert str(info.value) == text


# --- result checks -------------------------------------------------------------

class FakeHash:
    def __init__(self, digest):
        self.digest = digest

    def update(self, data):
        pass

    def hexdigest(self):
        return self.digest


class FakeHashlib:
    def __init__(self, digest):
        self.digest = digest

    def sha256(self, *args, **kwargs):
        return FakeHash(self.digest)


@pytest.mark.parametrize("via", ["class", "instance"])
@pytest.mark.parametrize("digest, got", [(5, "int"), (b"ab", "bytes"), (["ab"], "list")], ids=repr)
def test_det_id_result_must_be_text(module, started_store, monkeypatch, via, digest, got):
    monkeypatch.setattr(module, "hashlib", FakeHashlib(digest))
    owner = module.DuckSqliteGraph if via == "class" else started_store
    with pytest.raises(TypeError) as info:
        owner._det_id("a|b|c", "u", "o")
    assert str(info.value) == f"Expected str, got {got}"


def test_det_id_result_may_be_none(module, monkeypatch):
    monkeypatch.setattr(module, "hashlib", FakeHashlib(None))
    assert module.DuckSqliteGraph._det_id("a|b|c", "u", "o") is None


def test_det_id_reads_hashlib_from_the_module_namespace(module, monkeypatch):
    monkeypatch.setattr(module, "hashlib", FakeHashlib("feed"))
    assert module.DuckSqliteGraph._det_id("a|b|c", "u", "o") == "feed"
    monkeypatch.undo()
    assert module.DuckSqliteGraph._det_id("a|b|c", "u", "o") == hashlib.sha256(b"a|b|cuo").hexdigest()


@pytest.mark.parametrize("batch", [False, True])
def test_an_id_that_is_not_text_is_refused_before_anything_is_written(store, batch):
    store._det_id = lambda triple, user_id, org_id: 42
    try:
        with pytest.raises(TypeError) as info:
            if batch:
                from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
                upsert_facts(store, [("s", "p", "o", {"user_id": "u", "org_id": "g"})])
            else:
                store.upsert_fact("s", "p", "o", {"user_id": "u", "org_id": "g"})
    finally:
        del store._det_id
    assert str(info.value) == "Expected str, got int"
    assert store.conn.execute("SELECT id, subject FROM facts").fetchall() == []
    assert store.vector_store.calls == []


class CountResult:
    def __init__(self, count):
        self.rowcount = count

    def fetchall(self):
        return [(self.rowcount,)]

    def fetchone(self):
        return (self.rowcount,)


class CountingConnection:
    """Runs every statement on the real connection and reports `count` as its
    affected-row count."""

    def __init__(self, conn, count):
        self.conn, self.count = conn, count

    def execute(self, *args, **kwargs):
        self.conn.execute(*args, **kwargs)
        return CountResult(self.count)


def _fact_count(store):
    return store.conn.execute("SELECT count(*) FROM facts").fetchone()[0]


@pytest.mark.parametrize("count, expected", [
    (3, 3), (-1, -1), (0, 0), (3.9, 3), (True, 1), (decimal.Decimal("2.5"), 2), (IntSub(4), 4), (None, None),
], ids=repr)
def test_delete_context_result_is_normalised(store, count, expected):
    real = store.conn
    store.upsert_fact("s", "p", "o", {"org_id": "g", "graph_slice_id": "x"})
    store.conn = CountingConnection(real, count)
    try:
        result = store.delete_context(org_id="g", graph_slice_id="x")
    finally:
        store.conn = real
    assert result == expected and type(result) is type(expected)
    assert _fact_count(store) == 0


@pytest.mark.parametrize("count, got", [("1", "str"), ([1], "list"), (StrSub("1"), "StrSub")], ids=repr)
def test_delete_context_result_must_be_an_integer(store, count, got):
    real = store.conn
    store.upsert_fact("s", "p", "o", {"org_id": "g", "graph_slice_id": "x"})
    store.conn = CountingConnection(real, count)
    try:
        with pytest.raises(TypeError) as info:
            store.delete_context(org_id="g", graph_slice_id="x")
    finally:
        store.conn = real
    assert str(info.value) == f"Expected int, got {got}"
    assert _fact_count(store) == 0  # the deletion stays done


def test_complex_result_is_rejected_naming_int(store):
    real = store.conn
    store.conn = CountingConnection(real, 1 + 0j)
    try:
        with pytest.raises(TypeError) as info:
            store.delete_context(org_id="g", graph_slice_id="x")
    finally:
        store.conn = real
    assert str(info.value) == "Expected int, got complex"


# --- __new__ -----------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("elsewhere",), {}),
    ((None, 1, object()), {"persist_path": None, "bogus": 2}),
])
def test_new_ignores_its_arguments(started_store, args, kwargs):
    cls = type(started_store)
    assert cls.__new__(cls, *args, **kwargs) is started_store


def test_new_requires_the_class(started_store):
    with pytest.raises(TypeError) as info:
        type(started_store).__new__()
    assert str(info.value) == "__new__() takes at least 1 positional argument (0 given)"
