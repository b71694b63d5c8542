"""Process-wide access to the vector store used by the host."""

from __future__ import annotations

import os
import threading
from typing import Any

from corvanta.vectorstores.memory import InMemoryVectorStore

__all__ = ["VectorStoreFactory", "ENV_PERSIST_DIR"]

ENV_PERSIST_DIR = "CORVANTA_VECTORSTORE_DIR"


class VectorStoreFactory:
    """Hands out the shared vector store.

    By default ``get_store()`` returns one lazily created ``InMemoryVectorStore``
    per process. Where it persists is decided when it is created: the directory
    given to ``configure()`` if that was called, otherwise ``$CORVANTA_VECTORSTORE_DIR``
    if set, otherwise nowhere. ``set_store()`` replaces the store outright.
    """

    _lock = threading.Lock()
    _override: Any = None
    _default: InMemoryVectorStore | None = None
    _configured: bool = False
    _persist_directory: str | None = None

    @classmethod
    def get_store(cls) -> Any:
        with cls._lock:
            if cls._override is not None:
                return cls._override
            if cls._default is None:
                if cls._configured:
                    directory = cls._persist_directory
                else:
                    directory = os.environ.get(ENV_PERSIST_DIR) or None
                cls._default = InMemoryVectorStore(persist_directory=directory)
            return cls._default

    @classmethod
    def set_store(cls, store: Any) -> None:
        """Make ``get_store()`` return ``store``.

        ``None`` goes back to the default store; a fresh one is created on the
        next ``get_store()``.
        """
        with cls._lock:
            cls._override = store
            if store is None:
                cls._default = None

    @classmethod
    def configure(cls, persist_directory: str | os.PathLike[str] | None = None) -> None:
        """Persist the default store in ``persist_directory`` (``None``: memory only).

        Takes precedence over ``$CORVANTA_VECTORSTORE_DIR`` and drops both the
        current default store and any store given to ``set_store()``, so the
        next ``get_store()`` opens the configured one.
        """
        with cls._lock:
            cls._configured = True
            cls._persist_directory = None if persist_directory is None else os.fspath(persist_directory)
            cls._override = None
            cls._default = None

    @classmethod
    def reset(cls) -> None:
        """Forget every store and configuration (the environment is read again)."""
        with cls._lock:
            cls._configured = False
            cls._persist_directory = None
            cls._override = None
            cls._default = None
