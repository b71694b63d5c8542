"""The clamp and the writes with a serialiser that is not the standard
library's, and with metadata that changes while a write is under way."""

from __future__ import annotations

import gc
import json
import types

import pytest

from support import MODULE_NAME  # noqa: F401 - the fixtures import the module


def serialiser(dumps):
    return types.SimpleNamespace(dumps=dumps, loads=json.loads)


def test_sizes_are_the_serialisers_utf8_bytes(module, monkeypatch):
    # Ten UTF-8 bytes whatever the input: everything fits a budget of 10.
    monkeypatch.setattr(module, "json", serialiser(lambda value, separators: "é" * 5))
    metadata = {"a": "x" * 100, "code_content": "c" * 100}
    assert module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 10) == metadata
    assert module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 9) == {"a": "x" * 50 + "…"}


def test_a_serialiser_keeping_non_ascii_text_is_measured_in_bytes(module, monkeypatch):
    monkeypatch.setattr(module, "json", serialiser(
        lambda value, separators: json.dumps(value, separators=separators, ensure_ascii=False)))
    metadata = {"a": "é" * 100}  # 200 bytes kept as UTF-8, 600 when escaped
    assert module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 210) == metadata


@pytest.mark.parametrize("result", [None, b'{"a":1}', 7, object()])
def test_a_serialiser_returning_no_text_is_a_clean_error(module, monkeypatch, result):
    monkeypatch.setattr(module, "json", serialiser(lambda value, separators: result))
    with pytest.raises(TypeError, match=f"json.dumps returned {type(result).__name__}, not str"):
        module.DuckSqliteGraph._clamp_metadata_for_vs({"a": "x" * 100}, 10)


def test_a_serialiser_clearing_the_private_copy_cannot_corrupt_it(module, monkeypatch):
    # A container value makes the copies visible to the collector.
    metadata = {"marker": "clamp-me", "a": "x" * 500, "b": "y" * 300, "nested": [1]}

    def dumps(value, separators):
        text = json.dumps(value, separators=separators)
        for other in gc.get_objects():
            if type(other) is dict and other is not metadata and other.get("marker") == "clamp-me":
                other.clear()
        return text

    monkeypatch.setattr(module, "json", serialiser(dumps))
    assert module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 50) == {}
    assert metadata["a"] == "x" * 500


def test_metadata_grown_during_the_insert_is_still_clamped(store, vector_store):
    metadata = {"user_id": "u", "a": "x" * 10}
    real = store.conn

    class GrowingConnection:
        def execute(self, sql, params=None):
            result = real.execute(sql, params)
            metadata["big"] = "y" * 100_000
            return result

    store.conn = GrowingConnection()
    try:
        store.upsert_fact("s", "p", "o", metadata)
    finally:
        store.conn = real
    [document] = vector_store.calls[0][2]["metadatas"]
    assert len(json.dumps(document, separators=(",", ":"))) <= 60000
    assert document["big"].endswith("…")


def test_batch_follows_a_replaced_serialiser(module, store, monkeypatch):
    from corvanta.kgraph.providers.duckdb_sqlite import bulk

    seen = []

    def dumps(value, separators):
        seen.append(value)
        return json.dumps({"wrapped": value}, separators=separators)

    monkeypatch.setattr(module, "json", serialiser(dumps))
    bulk.upsert_facts(store, [("s", "p", "o", {"n": 1}), ("t", "p", "o", {"n": 2})])
    stored = store.conn.execute("SELECT metadata FROM facts ORDER BY subject").fetchall()
    assert [json.loads(m) for (m,) in stored] == [{"wrapped": {"n": 1}}, {"wrapped": {"n": 2}}]
    assert {"n": 2} in seen
