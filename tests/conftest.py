"""Shared fixtures. The store is a process-wide singleton, so one store is
started per test process; each test gets it with an empty table and a fresh
recording vector store. Scenarios that need their own start-up run in a
subprocess (support.run_python)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from support import MODULE_NAME, RecordingVectorStore  # noqa: E402


@pytest.fixture(scope="session")
def module():
    import importlib

    return importlib.import_module(MODULE_NAME)


@pytest.fixture(scope="session")
def started_store(module, tmp_path_factory):
    return module.DuckSqliteGraph(str(tmp_path_factory.mktemp("store")))


@pytest.fixture
def store(started_store):
    """The started store with no facts and a recording vector store."""
    started_store.conn.execute("DELETE FROM facts")
    started_store.vector_store = RecordingVectorStore()
    yield started_store
    started_store.vector_store = RecordingVectorStore()


@pytest.fixture
def vector_store(store) -> RecordingVectorStore:
    return store.vector_store
