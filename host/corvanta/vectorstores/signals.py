"""Keeping a signal handler's exception out of a change that must not stop half-way.

Python runs signal handlers in the main thread, between two bytecodes of
whatever it is doing; a handler that raises (``KeyboardInterrupt`` for
Ctrl-C) can so cut a change of several lists and files in the middle.
Between ``hold()`` and ``release()`` the handlers of SIGINT and SIGTERM
still run when their signal comes, but an exception one of them raises is
kept and raised by ``release()``, after the change is complete. A handler
that ends the process (a tool's answer to a second Ctrl-C) ends it at once.

Other threads never run Python signal handlers, so there both do nothing.
Holds nest; the handlers are swapped by the outermost only, and put back
as they were.
"""

from __future__ import annotations

import os
import threading
from types import FrameType
from typing import Any

# The functions of ``signal`` without its wrappers that map numbers to
# enums: those cost five times as much, on every call of the store.
import _signal

__all__ = ["hold", "release"]

_SIGNALS = (int(_signal.SIGINT), int(_signal.SIGTERM))
_get_ident = threading.get_ident
_main_thread = threading.main_thread


class _State:
    depth = 0  # holds not yet released (main thread only)
    kept: BaseException | None = None  # the first exception a handler raised while held
    originals: dict[int, Any] = {}  # the handlers _handle stands in for
    holder = 0  # the thread that holds (the main thread when the hold began)


def _handle(signum: int, frame: FrameType | None) -> None:
    original = _State.originals[signum]
    if _State.depth == 0:
        # Left in place by a release that was itself cut short: the
        # original handler's behaviour, at once.
        original(signum, frame)
        return
    try:
        original(signum, frame)
    except BaseException as exc:
        if _State.kept is None:
            _State.kept = exc


def _forget_in_child() -> None:
    # A child forked by another thread while the main thread held signals
    # starts without the holder: nothing of its holds will be released there.
    if _State.depth and _get_ident() != _State.holder:
        _State.depth, _State.kept = 0, None
        for signum in _SIGNALS:
            if _signal.getsignal(signum) is _handle:
                _signal.signal(signum, _State.originals[signum])


os.register_at_fork(after_in_child=_forget_in_child)


def hold() -> bool:
    """Starts holding back what the handlers raise; returns whether it did
    (pass that to ``release``)."""
    if _get_ident() != _main_thread().ident:
        return False
    if _State.depth == 0:
        # Installed before the count goes up: a signal between the two
        # finds depth 0 and is handled as if nothing were held.
        _State.holder = _get_ident()
        for signum in _SIGNALS:
            current = _signal.getsignal(signum)
            if current is not _handle and callable(current):
                _State.originals[signum] = current
                _signal.signal(signum, _handle)
    _State.depth += 1
    return True


def release(held: bool) -> None:
    """Ends a ``hold()``; the outermost raises what a handler raised meanwhile."""
    if not held:
        return
    # No call between these lines, so no handler runs in between.
    kept = _State.kept if _State.depth == 1 else None
    if kept is not None:
        _State.kept = None
    _State.depth -= 1
    if _State.depth:
        return
    for signum in _SIGNALS:
        if _signal.getsignal(signum) is _handle:
            _signal.signal(signum, _State.originals[signum])
    if kept is not None:
        raise kept
