"""Reading facts from JSON Lines or CSV: every input line becomes either a
fact or a refusal with its line number and reason."""

from __future__ import annotations

import codecs
import csv
import dataclasses
import io
import json
import os
import re
import sys
from collections.abc import Iterable, Iterator
from typing import Any, BinaryIO

from kgraph_cli.store import CommandError

# Top-level fields a JSON line may carry besides the triple and its metadata;
# they are put into the metadata.
SCOPE_FIELDS = ("user_id", "org_id", "graph_slice_id")
# What 'kgraph export' writes besides: the id (checked against the one the
# fact gets) and the time of the write (the store stamps its own).
EXPORT_FIELDS = ("id", "created_at")
JSON_FIELDS = frozenset({"subject", "predicate", "object", "obj", "metadata", *SCOPE_FIELDS, *EXPORT_FIELDS})
CSV_COLUMNS = ("subject", "predicate", "object", "metadata", *SCOPE_FIELDS)
FORMATS = ("jsonl", "csv")
_EXTENSIONS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".csv": "csv"}

Fact = tuple[str, str, str, dict[str, Any]]

# A cell may hold metadata as large as a JSON line can (the csv module's
# default limit is 128 kB).
csv.field_size_limit(min(sys.maxsize, 2**31 - 1))


@dataclasses.dataclass(slots=True)
class Item:
    """One input record: a fact, or the reason it was refused."""

    line: int
    fact: Fact | None = None
    error: str | None = None
    position: float = 0.0  # progress, in the reader's unit
    given_id: str | None = None  # an exported fact's id, checked when it is written
    stamped: bool = False  # the line carried created_at (not kept)


class LineError(ValueError):
    pass


def json_type(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if value is None:
        return "null"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, dict):
        return "object"
    if isinstance(value, list):
        return "array"
    return type(value).__name__


def build_fact(subject: Any, predicate: Any, obj: Any, metadata: Any, scope: dict[str, Any],
               defaults: dict[str, str]) -> Fact:
    """Checks the pieces of one fact and merges the scope fields and the
    command-line defaults into its metadata."""
    for name, value in (("subject", subject), ("predicate", predicate), ("object", obj)):
        if not isinstance(value, str):
            raise LineError(f"'{name}' must be text, got {json_type(value)}")
    if not isinstance(metadata, dict):
        raise LineError(f"'metadata' must be a JSON object, got {json_type(metadata)}")
    merged: dict[str, Any] = {}
    for key, value in scope.items():
        if not isinstance(value, str):
            raise LineError(f"'{key}' must be text, got {json_type(value)}")
        if key in metadata and metadata[key] != value:
            raise LineError(f"'{key}' is given twice with different values ({value!r} and {metadata[key]!r})")
        merged[key] = value
    merged.update(metadata)
    for key, value in defaults.items():
        merged.setdefault(key, value)
    for key in ("user_id", "org_id"):
        if key in merged and not isinstance(merged[key], str):
            raise LineError(f"metadata '{key}' must be text, got {json_type(merged[key])}")
    return subject, predicate, obj, merged


def fact_from_json(record: Any, defaults: dict[str, str]) -> Fact:
    """The fact of a JSON line. Empty top-level user_id, org_id and
    graph_slice_id are left out, as empty CSV cells are (an exported fact
    without a user carries "user_id": "")."""
    if not isinstance(record, dict):
        raise LineError(f"expected a JSON object, got {json_type(record)}")
    unknown = [key for key in record if key not in JSON_FIELDS]
    if unknown:
        raise LineError(f"unknown field {unknown[0]!r} (known: subject, predicate, object, metadata, "
                        + ", ".join(SCOPE_FIELDS + EXPORT_FIELDS) + ")")
    if "object" in record and "obj" in record:
        raise LineError("both 'object' and 'obj' are given")
    for name in ("subject", "predicate"):
        if name not in record:
            raise LineError(f"missing '{name}'")
    if "object" not in record and "obj" not in record:
        raise LineError("missing 'object'")
    obj = record["object"] if "object" in record else record["obj"]
    scope = {key: record[key] for key in SCOPE_FIELDS if key in record and record[key] != ""}
    if "id" in record and not isinstance(record["id"], str):
        raise LineError(f"'id' must be text, got {json_type(record['id'])}")
    return build_fact(record["subject"], record["predicate"], obj, record.get("metadata", {}), scope, defaults)


# ---------------------------------------------------------------- input files


class _CountingRaw(io.RawIOBase):
    """Counts the bytes read from the underlying binary stream (for progress)."""

    def __init__(self, inner: BinaryIO) -> None:
        self.inner = inner
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self.inner.read(len(buffer))
        n = len(data)
        buffer[:n] = data
        self.count += n
        return n


class _Lines:
    """The lines of a CSV text for the reader: how many the record being
    read has taken so far, and whether the text ended inside a record (the
    reader asks for a line after the last only while a quote is open)."""

    def __init__(self, text: io.TextIOWrapper) -> None:
        self._text = text
        self.taken = 0
        self.ended = False

    def __iter__(self) -> _Lines:
        return self

    def __next__(self) -> str:
        line = self._text.readline()
        if not line:
            self.ended = True
            raise StopIteration
        self.taken += 1
        return line


_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def _unclosed_quote(last: int, cell: str) -> str:
    """The refusal of a record whose last cell was still quoted at the end
    of the file (line ``last``); the cell holds the text after its quote."""
    breaks = len(_LINE_BREAK.findall(cell))
    if cell.endswith(("\n", "\r")):
        breaks -= 1  # the break that ends the last line
    opened = last - breaks
    span = f"line {opened}" if opened == last else f"lines {opened:,} to {last:,}"
    return (f"the quote opened on line {opened:,} is never closed: the cell it opens takes in {span} (the rest of "
            "the file), none of which is loaded; close it (a quote inside a quoted cell is written twice: \"\")")


class Source:
    """An input file (or standard input) opened for reading facts."""

    def __init__(self, name: str, fmt: str | None = None) -> None:
        self.name = "<stdin>" if name == "-" else name
        if name == "-":
            inner: BinaryIO = sys.stdin.buffer
            self._owned = False
        else:
            try:
                inner = open(name, "rb")  # noqa: SIM115 - closed in close()
            except OSError as exc:
                raise CommandError(f"cannot open {name}: {exc.strerror or exc}") from exc
            self._owned = True
        self._inner = inner
        self.total: int | None = None
        try:
            st = os.fstat(inner.fileno())
            if st.st_size > 0 and os.path.isfile(name):
                self.total = st.st_size
        except (OSError, ValueError, io.UnsupportedOperation):
            pass
        self._counter = _CountingRaw(inner)
        self.stream = io.BufferedReader(self._counter, buffer_size=1 << 16)
        self.format = fmt or self._detect(name)

    def _detect(self, name: str) -> str:
        ext = os.path.splitext(name)[1].lower() if name != "-" else ""
        if ext in _EXTENSIONS:
            return _EXTENSIONS[ext]
        head = self.stream.peek(4096)[:4096].lstrip(codecs.BOM_UTF8).lstrip()
        return "jsonl" if head.startswith(b"{") or not head else "csv"

    @property
    def position(self) -> int:
        return self._counter.count

    def close(self) -> None:
        if self._owned:
            self._inner.close()

    def items(self, defaults: dict[str, str]) -> Iterator[Item]:
        if self.format == "jsonl":
            return self._jsonl(defaults)
        return self._csv(defaults)

    def _jsonl(self, defaults: dict[str, str]) -> Iterator[Item]:
        position = 0
        for line, raw in enumerate(self.stream, 1):
            position += len(raw)
            if line == 1:
                raw = raw.removeprefix(codecs.BOM_UTF8)
            if not raw.strip():
                continue
            item = Item(line, position=position)
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as exc:
                item.error = f"not UTF-8 text (bad byte at column {exc.start + 1})"
                yield item
                continue
            try:
                record = json.loads(text)
            except json.JSONDecodeError as exc:
                item.error = f"not valid JSON ({exc.msg} at column {exc.colno})"
                yield item
                continue
            try:
                item.fact = fact_from_json(record, defaults)
            except LineError as exc:
                item.error = str(exc)
            else:
                item.given_id = record.get("id")
                item.stamped = "created_at" in record
            yield item

    def _csv(self, defaults: dict[str, str]) -> Iterator[Item]:
        """Reads and checks the header at once (a bad one fails the whole
        file before anything is written), then returns the rows."""
        text = io.TextIOWrapper(self.stream, encoding="utf-8-sig", errors="surrogateescape", newline="")
        lines = _Lines(text)
        reader = csv.reader(lines)
        try:
            header = next(reader)
        except StopIteration:
            return iter(())
        except csv.Error as exc:
            raise CommandError(f"{self.name}: line 1: unreadable CSV header ({exc})") from exc
        columns = [name.strip().lower() for name in header]
        columns = ["object" if name == "obj" else name for name in columns]
        unknown = [name for name in columns if name not in CSV_COLUMNS]
        if unknown:
            raise CommandError(f"{self.name}: line 1: unknown column {unknown[0]!r} in the header "
                               f"(known: {', '.join(CSV_COLUMNS)})")
        duplicated = {name for name in columns if columns.count(name) > 1}
        if duplicated:
            raise CommandError(f"{self.name}: line 1: column {sorted(duplicated)[0]!r} appears twice")
        missing = [name for name in ("subject", "predicate", "object") if name not in columns]
        if missing:
            raise CommandError(f"{self.name}: line 1: the header has no {missing[0]!r} column "
                               "(it must name subject, predicate, object and optionally metadata)")
        return self._csv_rows(reader, lines, columns, defaults)

    def _csv_rows(self, reader: Any, lines: _Lines, columns: list[str],
                  defaults: dict[str, str]) -> Iterator[Item]:
        index = {name: i for i, name in enumerate(columns)}
        next_line = reader.line_num + 1
        while True:
            line = next_line
            lines.taken = 0
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as exc:
                next_line = reader.line_num + 1
                yield Item(line, error=f"malformed CSV ({exc})", position=self.position)
                continue
            next_line = reader.line_num + 1
            if lines.ended:
                # The reader reached the end of the file inside a quoted cell,
                # and the cell took in every line from its quote on.
                yield Item(line, error=_unclosed_quote(line + lines.taken - 1, row[-1] if row else ""),
                           position=self.position)
                return
            if not any(cell.strip() for cell in row):
                continue
            item = Item(line, position=self.position)
            try:
                item.fact = self._csv_fact(row, columns, index, defaults)
            except LineError as exc:
                item.error = str(exc)
            yield item

    @staticmethod
    def _csv_fact(row: list[str], columns: list[str], index: dict[str, int], defaults: dict[str, str]) -> Fact:
        if len(row) != len(columns):
            raise LineError(f"expected {len(columns)} cells, got {len(row)}")
        try:
            "".join(row).encode("utf-8")
        except UnicodeEncodeError:
            raise LineError("not UTF-8 text") from None
        metadata: Any = {}
        if "metadata" in index and row[index["metadata"]].strip():
            try:
                metadata = json.loads(row[index["metadata"]])
            except json.JSONDecodeError as exc:
                raise LineError(f"metadata is not valid JSON ({exc.msg} at column {exc.colno})") from None
        scope = {key: row[index[key]] for key in SCOPE_FIELDS if key in index and row[index[key]] != ""}
        return build_fact(row[index["subject"]], row[index["predicate"]], row[index["object"]],
                          metadata, scope, defaults)
