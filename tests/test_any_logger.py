"""The module logger may be replaced by any object that offers the level
calls: the store then calls them as written, with format and arguments."""

from __future__ import annotations

import logging

import pytest


class LevelCallsOnly:
    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        if level not in ("debug", "info", "warning", "error"):
            raise AttributeError(level)
        return lambda msg, *args, **kwargs: self.calls.append((level, msg, args))


class Overriding(logging.Logger):
    def __init__(self):
        super().__init__("overriding", logging.ERROR)
        self.calls = []

    def debug(self, msg, *args, **kwargs):
        self.calls.append(("debug", msg, args))


def every_operation(store):
    store.upsert_fact("a", "b", "c", {"user_id": "u", "org_id": "o"})
    store.vector_store.fail_with = ValueError("x")
    store.upsert_fact("a", "b", "d", {"user_id": "u", "org_id": "o"})
    store.vector_store.fail_with = RuntimeError("y")
    store.upsert_fact("a", "b", "e", {"user_id": "u", "org_id": "o"})
    store.vector_store.fail_with = None
    store.search("a", user_id="u", org_id="o")
    store.get_neighbours("a", 1)
    store.fetch_by_metadata(org_id="o", filters={"bad key": "v"})
    store.purge_expired(1)
    store.delete_context(org_id="o", graph_slice_id="g")


def test_logger_offering_only_the_level_calls_is_called_as_written(store, module, monkeypatch):
    logger = LevelCallsOnly()
    monkeypatch.setattr(module, "logger", logger)
    every_operation(store)
    levels = {level for level, _, _ in logger.calls}
    assert levels == {"debug", "info", "warning", "error"}
    assert ("debug", "get_neighbours: entity=%s depth=%d", ("a", 1)) in logger.calls
    assert ("info", "Purging facts older than %d days", (1,)) in logger.calls


def test_overridden_level_call_is_made_even_when_the_level_is_off(store, module, monkeypatch):
    logger = Overriding()
    monkeypatch.setattr(module, "logger", logger)
    every_operation(store)
    assert ("debug", "get_neighbours: entity=%s depth=%d", ("a", 1)) in logger.calls
    assert all(level == "debug" for level, _, _ in logger.calls)
