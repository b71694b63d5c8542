"""The `metadata` column holds the Compact JSON of the caller's metadata:
exactly what the bound `json.dumps(metadata, separators=(",", ":"))` gives."""

from __future__ import annotations

import enum
import json
import logging

import pytest

from support import MODULE_NAME

UPSERT_FORMAT = "upsert_fact: id=%s user=%s org=%s subj=%s pred=%s obj_len=%d"


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class Dict(dict):
    pass


class List(list):
    pass


class Colour(enum.IntEnum):
    RED = 1


def compact(value) -> str:
    return json.dumps(value, separators=(",", ":"))


def stored_metadata(store, fact_id):
    rows = store.conn.execute("SELECT metadata FROM facts WHERE id = ?", [fact_id]).fetchall()
    assert len(rows) == 1
    return rows[0][0]


@pytest.mark.parametrize(
    ("metadata", "expected"),
    [
        ({}, "{}"),
        ({"z": 1, "a": 2, "m": 3}, '{"z":1,"a":2,"m":3}'),
        ({"b": {"y": 1, "x": 2}, "a": [3, {"q": None}]}, '{"b":{"y":1,"x":2},"a":[3,{"q":null}]}'),
        ({"user_id": "u", "org_id": "o", "tags": []}, '{"user_id":"u","org_id":"o","tags":[]}'),
        # Escaping: the text is pure ASCII.
        ({"t": "\u00e9"}, '{"t":"\\u00e9"}'),
        ({"\u00e9t\u00e9": "caf\u00e9"}, '{"\\u00e9t\\u00e9":"caf\\u00e9"}'),
        ({"t": "\u2026\u20ac"}, '{"t":"\\u2026\\u20ac"}'),
        ({"t": "\U0001f600"}, '{"t":"\\ud83d\\ude00"}'),
        ({"t": "\U0010ffff\U00010000"}, '{"t":"\\udbff\\udfff\\ud800\\udc00"}'),
        ({"t": 'q"b\\s/'}, '{"t":"q\\"b\\\\s/"}'),
        ({"t": "\b\t\n\f\r"}, '{"t":"\\b\\t\\n\\f\\r"}'),
        ({"t": "\x00\x01\x1f\x7f\x80"}, '{"t":"\\u0000\\u0001\\u001f\\u007f\\u0080"}'),
        ({"t": " ~"}, '{"t":" ~"}'),
        # Numbers.
        ({"f": float("nan"), "g": float("inf"), "h": float("-inf")}, '{"f":NaN,"g":Infinity,"h":-Infinity}'),
        ({"a": -0.0, "b": 1e16, "c": 1e-7, "d": 100.0, "e": 2.5}, '{"a":-0.0,"b":1e+16,"c":1e-07,"d":100.0,"e":2.5}'),
        ({"s": 0.1 + 0.2}, '{"s":0.30000000000000004}'),
        ({"big": 10**40, "neg": -7, "zero": 0}, '{"big":10000000000000000000000000000000000000000,"neg":-7,"zero":0}'),
        ({"t": True, "f": False, "n": None}, '{"t":true,"f":false,"n":null}'),
        # Keys that are not text are turned into the text of their JSON value.
        ({5: "a", 2.5: "b", True: "c", None: "d"}, '{"5":"a","2.5":"b","true":"c","null":"d"}'),
        ({False: 0, -3: 1, 1e16: 2, float("nan"): 3}, '{"false":0,"-3":1,"1e+16":2,"NaN":3}'),
        # Subclasses of the supported types, and tuples.
        (
            {"s": Str("x\u00e9"), "i": Int(7), "f": Float(2.5), "d": Dict(a=1), "l": List([1, "\U0001f600"])},
            '{"s":"x\\u00e9","i":7,"f":2.5,"d":{"a":1},"l":[1,"\\ud83d\\ude00"]}',
        ),
        ({Str("k"): 1, Int(3): 2, Colour.RED: 3}, '{"k":1,"3":2,"1":3}'),
        ({"e": Colour.RED, "t": (1, (2, "x"))}, '{"e":1,"t":[1,[2,"x"]]}'),
    ],
)
def test_metadata_column_holds_the_compact_json(store, metadata, expected):
    assert compact(metadata) == expected  # the host serialiser agrees with the pinned text
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    assert stored_metadata(store, fact_id) == expected


def test_large_metadata_is_stored_whole(store):
    metadata = {"user_id": "u", "code_content": "\u00e9x" * 40_000, "nums": list(range(5000))}
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    assert stored_metadata(store, fact_id) == compact(metadata)


def _cyclic_dict():
    d = {"user_id": "u"}
    d["self"] = d
    return d


def _cyclic_list():
    items = [1]
    items.append(items)
    return {"items": items}


def _cyclic_nested():
    inner = {}
    outer = {"inner": inner}
    inner["outer"] = outer
    return {"o": outer}


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: {"s": {1, 2}}, TypeError),
        (lambda: {"o": object()}, TypeError),
        (lambda: {"b": b"bytes"}, TypeError),
        (lambda: {"c": 1 + 2j}, TypeError),
        (lambda: {"deep": [1, {"x": frozenset()}]}, TypeError),
        (lambda: {(1, 2): "tuple key"}, TypeError),
        (lambda: {object(): "object key"}, TypeError),
        (_cyclic_dict, ValueError),
        (_cyclic_list, ValueError),
        (_cyclic_nested, ValueError),
    ],
    ids=["set", "object", "bytes", "complex", "nested-frozenset", "tuple-key", "object-key",
         "dict-cycle", "list-cycle", "nested-cycle"],
)
def test_serialiser_errors_reach_the_caller_and_nothing_is_written(store, vector_store, caplog, make, error):
    metadata = make()
    with pytest.raises(error) as expected:
        compact(metadata)
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    with pytest.raises(error) as info:
        store.upsert_fact("s", "p", "o", metadata)
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    assert getattr(info.value, "__notes__", None) == getattr(expected.value, "__notes__", None)
    assert store.conn.execute("SELECT count(*) FROM facts").fetchall() == [(0,)]
    assert vector_store.calls == []
    records = [r for r in caplog.records if r.name == MODULE_NAME]
    assert [(r.levelno, r.msg) for r in records] == [(logging.DEBUG, UPSERT_FORMAT)]


class StandInJson:
    """Replaces the module's `json`: records the calls and answers with a
    text of its own."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def dumps(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer

    loads = staticmethod(json.loads)


def test_the_bound_json_is_looked_up_at_call_time(module, store, monkeypatch):
    metadata = {"user_id": "u", "k": "v"}
    stand_in = StandInJson('{"stand":"in"}')
    monkeypatch.setattr(module, "json", stand_in)
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    monkeypatch.undo()
    assert stored_metadata(store, fact_id) == '{"stand":"in"}'
    args, kwargs = stand_in.calls[0]
    assert len(args) == 1 and args[0] is metadata
    assert kwargs == {"separators": (",", ":")}
    assert all(kw == {"separators": (",", ":")} for _, kw in stand_in.calls)
    # And the real serialiser is back once the stand-in is gone.
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    assert stored_metadata(store, fact_id) == compact(metadata)


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb"])
def test_lone_surrogate_text_is_refused_by_the_database_and_nothing_is_written(store, vector_store, caplog, text):
    import duckdb

    metadata = {"user_id": "u", "t": text}
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    with pytest.raises(duckdb.Error):
        store.upsert_fact("s", "p", "o", metadata)
    assert store.conn.execute("SELECT count(*) FROM facts").fetchall() == [(0,)]
    assert vector_store.calls == []
    assert [r.msg for r in caplog.records if r.name == MODULE_NAME] == [UPSERT_FORMAT]
