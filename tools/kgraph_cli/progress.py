"""Progress reporting on standard error: a live bar with rate and ETA on a
terminal (drawn by rich), plain periodic lines otherwise (logs, pipes, CI)."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

from rich.console import Console
from rich.progress import BarColumn, ProgressColumn, TaskProgressColumn, TextColumn, TimeElapsedColumn
from rich.progress import Progress as RichProgress
from rich.progress import TimeRemainingColumn
from rich.text import Text


def format_duration(seconds: float) -> str:
    seconds = max(0, int(round(seconds)))
    if seconds < 60:
        return f"{seconds}s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes}m{seconds:02d}s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m"


class _ItemsColumn(ProgressColumn):
    """Items so far and their rate; the bar itself advances in the caller's
    unit (bytes of input, modules), which is not what a rate is wanted in."""

    def render(self, task: Any) -> Text:
        items, name = task.fields.get("items", 0), task.fields.get("item_name", "items")
        elapsed = task.elapsed or 0.0
        rate = items / elapsed if elapsed > 0 else 0.0
        return Text(f"{items:,} {name}, {rate:,.0f}/s", style="progress.data.speed")


class Progress:
    """Tracks work done against an optional total.

    ``done`` and ``total`` are in the caller's unit (bytes of input, modules);
    ``items`` counts what the rate is given in (lines, facts). On a terminal
    rich redraws the bar; otherwise one line is written every ``every_items``
    items or ``every_seconds`` seconds.
    """

    def __init__(self, label: str, *, total: float | None = None, item_name: str = "lines",
                 stream: TextIO | None = None, tty: bool | None = None,
                 every_items: int = 10_000, every_seconds: float = 30.0) -> None:
        self.label = label
        self.total = total if total and total > 0 else None
        self.item_name = item_name
        self.stream = stream if stream is not None else sys.stderr
        self.tty = self.stream.isatty() if tty is None else tty
        self.every_items = every_items
        self.every_seconds = every_seconds
        self.start = time.monotonic()
        self.done = 0.0
        self.items = 0
        self._last_time = self.start
        self._last_items = 0
        self._bar: RichProgress | None = None
        if self.tty:
            console = Console(file=self.stream, force_terminal=True, highlight=False)
            self._bar = RichProgress(
                TextColumn("{task.description}", markup=False), BarColumn(bar_width=30), TaskProgressColumn(),
                _ItemsColumn(), TextColumn("ETA"), TimeRemainingColumn(), TextColumn("elapsed"), TimeElapsedColumn(),
                console=console, transient=True, refresh_per_second=5)
            self._task = self._bar.add_task(label, total=self.total, items=0, item_name=item_name)
            self._bar.start()

    def elapsed(self) -> float:
        return time.monotonic() - self.start

    def rate(self) -> float:
        elapsed = self.elapsed()
        return self.items / elapsed if elapsed > 0 else 0.0

    def eta(self) -> float | None:
        if self.total is None or self.done <= 0:
            return None
        return self.elapsed() * (self.total - self.done) / self.done

    def update(self, *, done: float | None = None, items: int | None = None) -> None:
        if done is not None:
            self.done = done
        if items is not None:
            self.items = items
        if self._bar is not None:
            self._bar.update(self._task, completed=self.done, items=self.items)
            return
        now = time.monotonic()
        if (self.items - self._last_items >= self.every_items
                or now - self._last_time >= self.every_seconds):
            self._line()
            self._last_time = now
            self._last_items = self.items

    def message(self, text: str) -> None:
        """Writes a line of its own without garbling the bar."""
        if self._bar is not None:
            self._bar.console.print(text, markup=False, highlight=False, soft_wrap=True)
        else:
            self._print(text)

    def _print(self, text: str) -> None:
        # Progress is for a person watching; a stream that went away stops
        # it, not the work.
        if self.stream is None:
            return
        try:
            print(text, file=self.stream, flush=True)
        except (BrokenPipeError, ValueError):
            self.stream = None

    def finish(self) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None

    def _line(self) -> None:
        parts = [f"{self.items:,} {self.item_name}", f"{self.rate():,.0f}/s"]
        eta = self.eta()
        if eta is not None:
            parts.append(f"ETA {format_duration(eta)}")
        parts.append(f"elapsed {format_duration(self.elapsed())}")
        status = ", ".join(parts)
        if self.total is not None:
            status = f"{min(1.0, self.done / self.total):.0%}, " + status
        self._print(f"{self.label} {status}")
