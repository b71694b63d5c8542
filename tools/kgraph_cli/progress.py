"""Progress reporting on standard error: a redrawn bar with rate and ETA on a
terminal, plain periodic lines otherwise (logs, pipes, CI)."""

from __future__ import annotations

import shutil
import sys
import time
from typing import TextIO


def format_duration(seconds: float) -> str:
    seconds = max(0, int(round(seconds)))
    if seconds < 60:
        return f"{seconds}s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes}m{seconds:02d}s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m"


class Progress:
    """Tracks work done against an optional total.

    ``done`` and ``total`` are in the caller's unit (bytes of input, modules);
    ``items`` counts what the rate is given in (lines, facts). On a terminal
    the bar is redrawn at most every ``redraw`` seconds; otherwise one line is
    written every ``every_items`` items or ``every_seconds`` seconds.
    """

    def __init__(self, label: str, *, total: float | None = None, item_name: str = "lines",
                 stream: TextIO | None = None, tty: bool | None = None,
                 every_items: int = 10_000, every_seconds: float = 30.0, redraw: float = 0.2) -> None:
        self.label = label
        self.total = total if total and total > 0 else None
        self.item_name = item_name
        self.stream = stream if stream is not None else sys.stderr
        self.tty = self.stream.isatty() if tty is None else tty
        self.every_items = every_items
        self.every_seconds = every_seconds
        self.redraw = redraw
        self.start = time.monotonic()
        self.done = 0.0
        self.items = 0
        self._last_time = self.start
        self._last_items = 0
        self._bar_visible = False

    def elapsed(self) -> float:
        return time.monotonic() - self.start

    def rate(self) -> float:
        elapsed = self.elapsed()
        return self.items / elapsed if elapsed > 0 else 0.0

    def eta(self) -> float | None:
        if self.total is None or self.done <= 0:
            return None
        elapsed = self.elapsed()
        return elapsed * (self.total - self.done) / self.done

    def update(self, *, done: float | None = None, items: int | None = None) -> None:
        if done is not None:
            self.done = done
        if items is not None:
            self.items = items
        now = time.monotonic()
        if self.tty:
            if now - self._last_time >= self.redraw:
                self._draw()
                self._last_time = now
        elif (self.items - self._last_items >= self.every_items
              or now - self._last_time >= self.every_seconds):
            self._line()
            self._last_time = now
            self._last_items = self.items

    def message(self, text: str) -> None:
        """Writes a line of its own without garbling the bar."""
        self._clear()
        print(text, file=self.stream, flush=True)
        if self.tty:
            self._draw()

    def finish(self) -> None:
        self._clear()

    # ------------------------------------------------------------------ output

    def _status(self) -> str:
        parts = [f"{self.items:,} {self.item_name}", f"{self.rate():,.0f}/s"]
        eta = self.eta()
        if eta is not None:
            parts.append(f"ETA {format_duration(eta)}")
        parts.append(f"elapsed {format_duration(self.elapsed())}")
        return ", ".join(parts)

    def _draw(self) -> None:
        width = shutil.get_terminal_size((80, 24)).columns
        status = self._status()
        if self.total is not None:
            fraction = min(1.0, self.done / self.total)
            bar_width = max(10, min(40, width - len(self.label) - len(status) - 12))
            filled = int(fraction * bar_width)
            bar = "#" * filled + "." * (bar_width - filled)
            text = f"{self.label} [{bar}] {fraction:4.0%} {status}"
        else:
            text = f"{self.label} {status}"
        self.stream.write("\r" + text[: width - 1] + "\x1b[K")
        self.stream.flush()
        self._bar_visible = True

    def _clear(self) -> None:
        if self._bar_visible:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._bar_visible = False

    def _line(self) -> None:
        status = self._status()
        if self.total is not None:
            status = f"{min(1.0, self.done / self.total):.0%}, " + status
        print(f"{self.label} {status}", file=self.stream, flush=True)
