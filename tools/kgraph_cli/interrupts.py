"""Ctrl-C and SIGTERM end a command the same way: it stops where it is, says
what is done, and exits with 128 + the signal's number (130, 143)."""

from __future__ import annotations

import signal
from typing import Any

_received: int | None = None


def _handler(signum: int, frame: Any) -> None:
    global _received
    _received = signum
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


def name() -> str:
    return "SIGTERM" if _received == signal.SIGTERM else "Ctrl-C (SIGINT)"


def is_interrupt(exc: BaseException) -> bool:
    """KeyboardInterrupt, or DuckDB's report of a statement a signal cut short."""
    if isinstance(exc, KeyboardInterrupt):
        return True
    return _received is not None and isinstance(exc, RuntimeError) and "interrupt" in str(exc).lower()
