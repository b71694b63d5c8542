"""``kgraph load``: writing facts through the store, a chunk at a time.

A refusal never stops the load; refusals are reported in line order. The
writer tells a new fact from a replaced one by the identifiers stored before
it writes, and after an interrupt it says exactly up to which line the facts
are committed.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from kgraph_cli import interrupts, options, render
from kgraph_cli.sources import FORMATS, Fact, Item, Source
from kgraph_cli.store import (CommandError, checkpoint, damaged_message, documents_present, fact_exists, graph_path,
                              is_damaged, open_graph)

if TYPE_CHECKING:
    from kgraph_cli.progress import Progress

LOAD_DESCRIPTION = """\
Write every fact of FILE (or standard input, '-') through the store's upsert.

JSON Lines: one object per line with "subject", "predicate", "object" (or
"obj") and an optional "metadata" object. "user_id", "org_id" and
"graph_slice_id" may also be given as top-level fields; they are put into the
metadata (a conflicting value there refuses the line; an empty one is left
out). Blank lines are skipped. What 'kgraph export' writes loads as it is:
its "id" must be the id the fact gets (it follows from subject, predicate,
object, user and organisation), and its "created_at" is not kept: the store
stamps every fact with the time of this load.

  {"subject": "parser", "predicate": "written_in", "object": "C++",
   "metadata": {"graph_slice_id": "project-x"}, "user_id": "alice", "org_id": "acme"}

CSV: a header naming the columns subject, predicate, object (or obj), and
optionally metadata (a JSON object as text; empty means {}), user_id, org_id
and graph_slice_id (empty cells are left out).

The format follows the file extension (.jsonl/.ndjson/.json, .csv) or, for
standard input and other names, the first character ('{' means JSON Lines).

--user and --org fill in user_id and org_id for facts that lack them; search
only finds facts that carry both (the summary counts those that do not). A
line that cannot be stored is reported as 'line N: reason' on standard error
and skipped; the rest still loads. At the end a summary gives how many facts
were written (new), replaced (the same triple for the same user and
organisation again) and refused. Exit status 1 if any line was refused.

Long texts: the vector store embeds a bounded prefix of a fact's text
(subject|predicate|object), so search ranks a longer one by its start only.
Such a fact is stored whole, with a warning that names the prefix's size, and
counted in the summary. --max-text-bytes N refuses a fact whose subject,
predicate or object is longer than N bytes (UTF-8) instead.

Facts are committed 1,000 at a time. After Ctrl-C or SIGTERM the summary
says up to which line they are; running the same load again finishes it (a
second signal stops at once, without the summary).
"""


@dataclasses.dataclass
class LoadResult:
    written: int = 0
    replaced: int = 0
    refused: int = 0
    unscoped: int = 0  # stored facts without user_id or org_id: search never finds them
    empty_texts: int = 0  # stored facts with an empty subject, predicate or object
    restamped: int = 0  # stored facts whose input carried created_at
    long_texts: int = 0  # stored facts whose text is longer than search's embedded prefix
    seconds: float = 0.0
    interrupted: bool = False
    committed_line: int = 0  # the facts of every line up to this one are committed, none after it
    undocumented: int | None = 0  # committed facts still without their document after an interrupt (None: unknown)

    @property
    def stored(self) -> int:
        return self.written + self.replaced

    @property
    def rate(self) -> float:
        return self.stored / self.seconds if self.seconds > 0 else 0.0

    def notes(self) -> list[str]:
        notes = []
        if self.unscoped:
            notes.append(f"{render.plural(self.unscoped, 'fact')} without user_id or org_id (search never finds "
                         "them; --user and --org fill them in)")
        if self.empty_texts:
            notes.append(f"{render.plural(self.empty_texts, 'fact')} with an empty subject, predicate or object")
        if self.restamped:
            notes.append(f"created_at of the input is not kept: {render.plural(self.restamped, 'fact')} stamped "
                         "with the time of this load")
        if self.long_texts:
            notes.append(f"{render.plural(self.long_texts, 'fact')} with a text over {embedded_prefix():,} characters "
                         "(search ranks them by that prefix)")
        return notes

    def summary(self) -> str:
        text = (f"written {self.written:,}, replaced {self.replaced:,}, refused {self.refused:,} "
                f"in {self.seconds:.1f} s ({self.rate:,.0f} facts/s)")
        return "; ".join([text, *self.notes()])

    def as_json(self) -> dict[str, Any]:
        return {"written": self.written, "replaced": self.replaced, "refused": self.refused,
                "without_user_or_org": self.unscoped, "empty_texts": self.empty_texts,
                "created_at_not_kept": self.restamped, "long_texts": self.long_texts,
                "seconds": round(self.seconds, 3), "facts_per_second": round(self.rate, 1),
                "interrupted": self.interrupted, "committed_through_line": self.committed_line,
                "without_documents": self.undocumented}


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
        return self.query(fact_ids)

    def query(self, fact_ids: list[str]) -> set[str]:
        rows = self.graph.conn.execute("SELECT id FROM facts WHERE id IN (SELECT unnest(?))",
                                       [list(set(fact_ids))]).fetchall()
        return {row[0] for row in rows}

    def add(self, fact_id: str) -> None:
        if self.ids is not None:
            self.ids.add(fact_id)


def embedded_prefix() -> int:
    """How many characters of a fact's text the default vector store embeds."""
    from corvanta.vectorstores.memory import HashingEmbedding

    return HashingEmbedding.MAX_TEXT_CHARS


def _is_database_error(exc: BaseException) -> bool:
    return type(exc).__module__.split(".")[0] in ("duckdb", "_duckdb")


def _bulk_writer() -> Callable[..., Any] | None:
    """The store's batch upsert, or None where the installed store has none."""
    try:
        from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
    except ImportError:
        return None
    return upsert_facts


def write_facts(graph: Any, items: Iterable[Item], progress: Progress, *, where: str,
                max_reports: int = 1000, chunk_size: int = 1000, max_text_bytes: int | None = None) -> LoadResult:
    """Upserts every fact of ``items`` and reports each refusal.

    ``where`` prefixes the refusal lines (the input's name). Facts go to the
    store ``chunk_size`` at a time through its batch upsert; a chunk the store
    refuses (it writes none of it) is written again fact by fact, so only the
    bad fact is refused. A database error ends the load (it would refuse every
    further line as well); the chunks written before it stay. A fact whose
    subject, predicate or object is longer than ``max_text_bytes`` (UTF-8)
    is refused.

    After Ctrl-C or SIGTERM, wherever it comes, the result says up to which
    line the facts are committed: the counting after a write runs deferred
    (``interrupts.deferred``), and a chunk the store was writing when the
    signal came is looked up.
    """
    result = LoadResult()
    reported = 0
    warned = 0
    processed = 0
    upsert_facts = _bulk_writer()
    prefix = embedded_prefix()
    pending: list[Item] = []  # every item since the last accounted write, refusals included
    waiting = 0  # facts among them
    # The chunk handed to the store and not yet counted (its items, ids and
    # the ids stored before it), and the refusals of the items being written.
    in_flight: tuple[list[Item], list[str], set[str]] | None = None
    unreported: list[tuple[int, str]] | None = None
    # Progress is reported per chunk, so a chunk is never longer than the
    # reporting interval.
    chunk_size = max(1, min(chunk_size, getattr(progress, "every_items", chunk_size)))

    def report(refusals: list[tuple[int, str]]) -> None:
        nonlocal reported
        for line, reason in sorted(refusals):
            result.refused += 1
            reported += 1
            if reported <= max_reports:
                progress.message(f"kgraph: {where} line {line}: {reason}")
            elif reported == max_reports + 1:
                progress.message(f"kgraph: {where}: more refused lines follow; only the count is reported")

    def warn(line: int, text_length: int) -> None:
        nonlocal warned
        warned += 1
        if warned <= max_reports:
            progress.message(f"kgraph: {where} line {line}: warning: its text (subject|predicate|object) is "
                             f"{text_length:,} characters long; stored whole, but search ranks it by the first "
                             f"{prefix:,} (--max-text-bytes refuses such facts)")
        elif warned == max_reports + 1:
            progress.message(f"kgraph: {where}: more facts with long texts follow; only the count is reported")

    def oversized(fact: Fact) -> str | None:
        if max_text_bytes is None:
            return None
        for name, text in zip(("subject", "predicate", "object"), fact[:3]):
            if len(text) * 4 > max_text_bytes:  # else it cannot be longer in UTF-8
                size = len(text.encode("utf-8", "surrogatepass"))
                if size > max_text_bytes:
                    return f"the {name} is {size:,} bytes long, over --max-text-bytes {max_text_bytes:,}"
        return None

    def fact_id(fact: Fact) -> str:
        subject, predicate, obj, metadata = fact
        return graph._det_id(f"{subject}|{predicate}|{obj}", metadata.get("user_id", ""), metadata.get("org_id", ""))

    def count(stored: list[Item], fids: list[str], before: set[str]) -> None:
        # In input order, so a fact repeated in a chunk counts as written
        # once and replaced after, as one by one.
        for item, fid in zip(stored, fids):
            if fid in before:
                result.replaced += 1
            else:
                result.written += 1
                before.add(fid)
                known.add(fid)
            subject, predicate, obj, metadata = item.fact
            result.unscoped += not metadata.get("user_id") or not metadata.get("org_id")
            result.empty_texts += not subject or not predicate or not obj
            result.restamped += item.stamped
            length = len(subject) + len(predicate) + len(obj) + 2
            if length > prefix:
                result.long_texts += 1
                warn(item.line, length)

    def one_by_one(batch: list[Item], fids: list[str], refusals: list[tuple[int, str]]) -> None:
        nonlocal in_flight
        for item, fid in zip(batch, fids):
            existed = fid in known
            in_flight = ([item], [fid], {fid} if existed else set())
            try:
                graph.upsert_fact(*item.fact)
            except (TypeError, ValueError, OverflowError) as exc:
                if _is_database_error(exc):
                    raise
                in_flight = None  # nothing was written
                refusals.append((item.line, f"refused by the store: {exc}"))
            else:
                with interrupts.deferred():
                    count(*in_flight)
                    in_flight = None
                    result.committed_line = item.line

    def flush() -> None:
        nonlocal processed, waiting, pending, in_flight, unreported
        if not pending:
            return
        batch = pending
        refusals = [(item.line, item.error or "refused") for item in batch if item.fact is None]
        facts: list[Item] = []
        fids: list[str] = []
        for item in batch:
            if item.fact is None:
                continue
            too_long = oversized(item.fact)
            if too_long is not None:
                refusals.append((item.line, too_long))
                continue
            try:
                fid = fact_id(item.fact)
            except (TypeError, ValueError, OverflowError) as exc:  # what the upsert would refuse it for
                refusals.append((item.line, f"refused by the store: {exc}"))
                continue
            if item.given_id is not None and item.given_id != fid:
                refusals.append((item.line, f"'id' {item.given_id[:16]!r}... is not this fact's id (ids follow "
                                            "from subject, predicate, object, user_id and org_id; leave 'id' out "
                                            "to load a changed fact)"))
                continue
            facts.append(item)
            fids.append(fid)
        unreported = refusals
        if facts and upsert_facts is None:
            one_by_one(facts, fids, refusals)
        elif facts:
            before = known.stored(fids)
            in_flight = (facts, fids, before)
            try:
                upsert_facts(graph, [item.fact for item in facts])
            except (TypeError, ValueError, OverflowError) as exc:
                if _is_database_error(exc):
                    raise
                in_flight = None  # nothing of the chunk was written
                one_by_one(facts, fids, refusals)
        with interrupts.deferred():
            if in_flight is not None:
                count(*in_flight)
                in_flight = None
            unreported = None
            report(refusals)
            result.committed_line = batch[-1].line
            pending = []
            waiting = 0
            processed += len(batch)
        progress.update(done=batch[-1].position, items=processed)

    def settle() -> None:
        """After an interrupt while the store wrote ``in_flight``: its rows
        go in as one statement, so either all of them are committed or none;
        which, the new ones tell (a chunk of replacements alone counts as
        not)."""
        facts, fids, before = in_flight
        new = [fid for fid in fids if fid not in before]
        if not new or not known.query(new[:1]):
            return
        count(facts, fids, set(before))
        result.committed_line = facts[-1].line
        try:
            present = documents_present(graph.vector_store, list(dict.fromkeys(fids)))
        except Exception:  # an answer the summary can do without
            result.undocumented = None
        else:
            result.undocumented = len(set(fids)) - len(present)

    known = KnownIds(graph)
    try:
        for item in items:
            interrupts.check()
            pending.append(item)
            if item.fact is not None:
                waiting += 1
                if waiting >= chunk_size:
                    flush()
            elif len(pending) == 1:
                flush()  # a refusal with no fact waiting is reported at once
        flush()
    except BaseException as exc:
        if interrupts.is_interrupt(exc):
            result.interrupted = True
            if in_flight is not None:
                settle()
            report(unreported if unreported is not None else
                   [(item.line, item.error or "refused") for item in pending if item.fact is None])
        elif isinstance(exc, Exception) and _is_database_error(exc):
            progress.finish()
            result.seconds = progress.elapsed()
            detail = damaged_message(str(exc)) if is_damaged(str(exc)) else str(exc)
            raise CommandError(f"database error, load stopped after {result.stored:,} facts "
                               f"({result.summary()}): {detail}") from exc
        else:
            raise
    finally:
        progress.finish()
        result.seconds = progress.elapsed()
    return result


def interrupted_message(name: str, result: LoadResult) -> str:
    if result.committed_line == 0 or not result.stored:
        done = "no fact of it is committed"
    else:
        done = (f"the facts of its lines 1 to {result.committed_line:,} are committed (written {result.written:,}, "
                f"replaced {result.replaced:,}, refused {result.refused:,}), none of the lines after")
    text = (f"interrupted by {interrupts.name()}: {name}: {done}; running the same load again finishes it "
            "(facts already stored are replaced, not doubled)")
    if result.undocumented:
        text += (f"; {render.plural(result.undocumented, 'committed fact')} ha{'s' if result.undocumented == 1 else 've'}"
                 " no document yet (search misses them until the load runs again or 'kgraph reconcile' adds them)")
    elif result.undocumented is None:
        text += "; 'kgraph stats' tells whether committed facts lack their documents ('kgraph reconcile' adds them)"
    return text


def cmd_load(args: Any) -> int:
    from kgraph_cli.progress import Progress  # rich, which only writing needs

    defaults = {}
    if args.user is not None:
        defaults["user_id"] = args.user
    if args.org is not None:
        defaults["org_id"] = args.org
    source = Source(args.file, args.format)
    result = LoadResult()
    try:
        items = source.items(defaults)  # a bad CSV header fails here, before the graph is touched
        graph = open_graph(graph_path(args), create=True, vectors=True, wait=args.wait)
        progress = Progress(f"loading {source.name}", total=source.total, item_name="lines",
                            every_items=args.progress_every)
        try:
            result = write_facts(graph, items, progress, where=source.name, max_text_bytes=args.max_text_bytes)
        finally:
            checkpoint(graph)
    except BaseException as exc:
        # An interrupt before the first line or after the last one: the
        # summary still says what is committed.
        if not interrupts.is_interrupt(exc):
            raise
        result.interrupted = True
    finally:
        source.close()
    if args.json:
        render.emit(render.to_json({"file": source.name, "format": source.format, **result.as_json()}))
    elif result.interrupted:
        render.emit(interrupted_message(source.name, result))
    else:
        render.emit(f"loaded {source.name}: {result.summary()}")
    if result.interrupted:
        return interrupts.status()
    return 1 if result.refused else 0


def register(command: Callable[..., Any]) -> None:
    p = command("load", cmd_load, "write facts from a JSON Lines or CSV file", LOAD_DESCRIPTION)
    p.add_argument("file", metavar="FILE", help="the input file, or - for standard input")
    p.add_argument("--format", choices=FORMATS, help="the input format (default: from the extension)")
    p.add_argument("--user", type=options.text, metavar="U", help="user_id for facts that do not name one")
    p.add_argument("--org", type=options.text, metavar="O", help="org_id for facts that do not name one")
    p.add_argument("--progress-every", type=options.positive_int, default=10_000, metavar="N",
                   help="when standard error is no terminal, report progress every N lines (default 10000)")
    p.add_argument("--max-text-bytes", type=options.positive_int, metavar="N",
                   help="refuse a fact whose subject, predicate or object is longer than N bytes")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
