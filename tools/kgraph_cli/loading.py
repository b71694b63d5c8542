"""Reading facts from JSON Lines or CSV and writing them through the store.

Every input line becomes either a fact or a refusal with its line number and
reason; a refusal never stops the load. The writer tells a new fact from a
replaced one by the identifiers stored before it writes.
"""

from __future__ import annotations

import codecs
import csv
import dataclasses
import io
import json
import os
import sys
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO

from kgraph_cli.store import CommandError, fact_exists

if TYPE_CHECKING:
    from kgraph_cli.progress import Progress

# Top-level fields a JSON line may carry besides the triple and its metadata;
# they are put into the metadata.
SCOPE_FIELDS = ("user_id", "org_id", "graph_slice_id")
JSON_FIELDS = frozenset({"subject", "predicate", "object", "obj", "metadata", *SCOPE_FIELDS})
CSV_COLUMNS = ("subject", "predicate", "object", "metadata", *SCOPE_FIELDS)
FORMATS = ("jsonl", "csv")
_EXTENSIONS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".csv": "csv"}

Fact = tuple[str, str, str, dict[str, Any]]


@dataclasses.dataclass(slots=True)
class Item:
    """One input record: a fact, or the reason it was refused."""

    line: int
    fact: Fact | None = None
    error: str | None = None
    position: float = 0.0  # progress, in the reader's unit


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
    if not isinstance(record, dict):
        raise LineError(f"expected a JSON object, got {json_type(record)}")
    unknown = [key for key in record if key not in JSON_FIELDS]
    if unknown:
        raise LineError(f"unknown field {unknown[0]!r} (known: subject, predicate, object, metadata, "
                        + ", ".join(SCOPE_FIELDS) + ")")
    if "object" in record and "obj" in record:
        raise LineError("both 'object' and 'obj' are given")
    for name in ("subject", "predicate"):
        if name not in record:
            raise LineError(f"missing '{name}'")
    if "object" not in record and "obj" not in record:
        raise LineError("missing 'object'")
    obj = record["object"] if "object" in record else record["obj"]
    scope = {key: record[key] for key in SCOPE_FIELDS if key in record}
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
            yield item

    def _csv(self, defaults: dict[str, str]) -> Iterator[Item]:
        """Reads and checks the header at once (a bad one fails the whole
        file before anything is written), then returns the rows."""
        text = io.TextIOWrapper(self.stream, encoding="utf-8-sig", errors="surrogateescape", newline="")
        reader = csv.reader(text)
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
        return self._csv_rows(reader, columns, defaults)

    def _csv_rows(self, reader: Any, columns: list[str], defaults: dict[str, str]) -> Iterator[Item]:
        index = {name: i for i, name in enumerate(columns)}
        next_line = reader.line_num + 1
        while True:
            line = next_line
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as exc:
                next_line = reader.line_num + 1
                yield Item(line, error=f"malformed CSV ({exc})", position=self.position)
                continue
            next_line = reader.line_num + 1
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


# --------------------------------------------------------------------- writing


@dataclasses.dataclass
class LoadResult:
    written: int = 0
    replaced: int = 0
    refused: int = 0
    seconds: float = 0.0
    interrupted: bool = False

    @property
    def stored(self) -> int:
        return self.written + self.replaced

    @property
    def rate(self) -> float:
        return self.stored / self.seconds if self.seconds > 0 else 0.0

    def summary(self) -> str:
        return (f"written {self.written:,}, replaced {self.replaced:,}, refused {self.refused:,} "
                f"in {self.seconds:.1f} s ({self.rate:,.0f} facts/s)")

    def as_json(self) -> dict[str, Any]:
        return {"written": self.written, "replaced": self.replaced, "refused": self.refused,
                "seconds": round(self.seconds, 3), "facts_per_second": round(self.rate, 1),
                "interrupted": self.interrupted}


class KnownIds:
    """Tells whether a fact identifier is already stored, to count a write as
    new or as a replacement. Up to ``limit`` stored facts the identifiers are
    read once into memory (a look-up per line costs the database about as much
    as a tenth of an upsert); beyond that each one is looked up."""

    def __init__(self, graph: Any, limit: int = 1_000_000) -> None:
        self.graph = graph
        self.ids: set[str] | None = None
        (count,) = graph.conn.execute("SELECT count(*) FROM facts").fetchone()
        if count <= limit:
            self.ids = {row[0] for row in graph.conn.execute("SELECT id FROM facts").fetchall()}

    def __contains__(self, fact_id: str) -> bool:
        return fact_id in self.ids if self.ids is not None else fact_exists(self.graph, fact_id)

    def stored(self, fact_ids: list[str]) -> set[str]:
        """Those of ``fact_ids`` that are stored (one query for all of them)."""
        if self.ids is not None:
            return self.ids.intersection(fact_ids)
        rows = self.graph.conn.execute("SELECT id FROM facts WHERE id IN (SELECT unnest(?))",
                                       [list(set(fact_ids))]).fetchall()
        return {row[0] for row in rows}

    def add(self, fact_id: str) -> None:
        if self.ids is not None:
            self.ids.add(fact_id)


def _is_database_error(exc: BaseException) -> bool:
    return type(exc).__module__.split(".")[0] in ("duckdb", "_duckdb")


def _bulk_writer() -> Any:
    """The store's batch upsert, or None where the installed store has none."""
    try:
        from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
    except ImportError:
        return None
    return upsert_facts


def write_facts(graph: Any, items: Iterable[Item], progress: Progress, *, where: str,
                max_reports: int = 1000, chunk_size: int = 1000) -> LoadResult:
    """Upserts every fact of ``items`` and reports each refusal.

    ``where`` prefixes the refusal lines (the input's name). Facts go to the
    store ``chunk_size`` at a time through its batch upsert; a chunk the store
    refuses (it writes none of it) is written again fact by fact, so only the
    bad fact is refused. A database error ends the load (it would refuse every
    further line as well); the chunks written before it stay.
    """
    result = LoadResult()
    reported = 0
    processed = 0
    upsert_facts = _bulk_writer()
    chunk: list[Item] = []
    # Progress is reported per chunk, so a chunk is never longer than the
    # reporting interval.
    chunk_size = max(1, min(chunk_size, getattr(progress, "every_items", chunk_size)))

    def refuse(line: int, reason: str) -> None:
        nonlocal reported
        result.refused += 1
        reported += 1
        if reported <= max_reports:
            progress.message(f"kgraph: {where} line {line}: {reason}")
        elif reported == max_reports + 1:
            progress.message(f"kgraph: {where}: more refused lines follow; only the count is reported")

    def fact_id(fact: Fact) -> str:
        subject, predicate, obj, metadata = fact
        return graph._det_id(f"{subject}|{predicate}|{obj}", metadata.get("user_id", ""), metadata.get("org_id", ""))

    def count(fids: list[str], before: set[str]) -> None:
        # In input order, so a fact repeated in a chunk counts as written
        # once and replaced after, as one by one.
        for fid in fids:
            if fid in before:
                result.replaced += 1
            else:
                result.written += 1
                before.add(fid)
                known.add(fid)

    def one_by_one(batch: list[Item]) -> None:
        for item in batch:
            assert item.fact is not None
            try:
                fid = fact_id(item.fact)
                existed = fid in known
                graph.upsert_fact(*item.fact)
            except (TypeError, ValueError, OverflowError) as exc:
                if _is_database_error(exc):
                    raise
                refuse(item.line, f"refused by the store: {exc}")
            else:
                count([fid], {fid} if existed else set())

    def flush() -> None:
        nonlocal processed
        if not chunk:
            return
        batch = chunk[:]
        chunk.clear()
        if upsert_facts is None:
            one_by_one(batch)
        else:
            try:
                fids = [fact_id(item.fact) for item in batch]
                before = known.stored(fids)
                upsert_facts(graph, [item.fact for item in batch])
            except (TypeError, ValueError, OverflowError) as exc:
                if _is_database_error(exc):
                    raise
                one_by_one(batch)  # nothing of the chunk was written
            else:
                count(fids, before)
        processed += len(batch)
        progress.update(done=batch[-1].position, items=processed)

    try:
        known = KnownIds(graph)
        for item in items:
            if item.fact is None:
                processed += 1
                refuse(item.line, item.error or "refused")
                if not chunk:
                    progress.update(done=item.position, items=processed)
                continue
            chunk.append(item)
            if len(chunk) >= chunk_size:
                flush()
        flush()
    except KeyboardInterrupt:
        result.interrupted = True
    except Exception as exc:
        if not _is_database_error(exc):
            raise
        progress.finish()
        result.seconds = progress.elapsed()
        raise CommandError(f"database error, load stopped after {result.stored:,} facts "
                           f"({result.summary()}): {exc}") from exc
    finally:
        progress.finish()
        result.seconds = progress.elapsed()
    return result
