"""Ctrl-C and SIGTERM end a command the same way: it stops where it is, says
what is done, and exits with 128 + the signal's number (130, 143). A second
signal ends the process at once, without a summary: for a command whose
summary cannot come (a statement that does not stop)."""

from __future__ import annotations

import os
import signal
from typing import Any

_received: int | None = None
_depth = 0  # deferred blocks entered and not left
_held = False  # a signal came inside one and is still to be raised


def _handler(signum: int, frame: Any) -> None:
    global _received, _held
    if _received is not None:
        # Committed data is safe in the database's log and the vector files
        # repair a cut write on the next open; nothing here needs to run.
        os.write(2, f"kgraph: {_name(signum)} again: stopped at once\n".encode())
        os._exit(status())
    _received = signum
    if _depth:
        _held = True
        return
    raise KeyboardInterrupt


class deferred:  # noqa: N801 - used like a function: ``with interrupts.deferred():``
    """Bookkeeping that must not stop half-way (what was written, and up to
    which line): a first signal inside it is raised when it ends."""

    def __enter__(self) -> None:
        global _depth
        _depth += 1

    def __exit__(self, *exc_info: Any) -> None:
        global _depth, _held
        _depth -= 1
        if _depth == 0 and _held:
            _held = False
            raise KeyboardInterrupt


def install() -> None:
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, _handler)


def check() -> None:
    """Raises KeyboardInterrupt again if a signal came: a statement that was
    running when it came may have swallowed the first one."""
    if _received is not None:
        raise KeyboardInterrupt


def status() -> int:
    return 128 + (_received or signal.SIGINT)


def _name(signum: int | None) -> str:
    return "SIGTERM" if signum == signal.SIGTERM else "Ctrl-C (SIGINT)"


def name() -> str:
    return _name(_received)


def is_interrupt(exc: BaseException) -> bool:
    """KeyboardInterrupt, or DuckDB's report of a statement a signal cut short."""
    if isinstance(exc, KeyboardInterrupt):
        return True
    return _received is not None and isinstance(exc, RuntimeError) and "interrupt" in str(exc).lower()
