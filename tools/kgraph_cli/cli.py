"""The ``kgraph`` command line: argument parsing, the commands, and the one
place where failures become a single line on standard error."""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
import traceback
from collections.abc import Sequence
from typing import Any

from kgraph_cli import __version__, render
from kgraph_cli.loading import FORMATS, Source, write_facts
from kgraph_cli.store import (DEFAULT_PATH, PATH_ENV, STORE_MODULE, CommandError, checkpoint, count_facts,
                              default_path, delete_documents, documents_present, ids_of_slice, ids_older_than,
                              open_graph, orphaned_documents, purge_cutoff, stats, stored_ids)

_KEY_RE = re.compile(r"[A-Za-z0-9_]+")

DESCRIPTION = f"""\
Fill, query and tidy a knowledge-graph store (a DuckDB file plus a vector
store kept beside it) without writing a host application.

The graph lives in a directory: --path DIR, else ${PATH_ENV}, else
{DEFAULT_PATH}. It holds kgraph.duckdb (the facts) and vectors/ (the
documents that 'search' ranks; they persist, so a search in a later run finds
what an earlier load wrote). One process at a time may use a graph.
"""

EPILOG = """\
exit status: 0 success, 1 failure (including a load with refused lines),
2 bad usage.

examples:
  kgraph demo                      # a graph of the standard library
  kgraph load facts.jsonl --org acme
  kgraph search "who maintains the parser" --user alice --org acme
  kgraph neighbours parser --depth 2 --format dot | dot -Tsvg -o parser.svg
  kgraph fetch --org acme --filter graph_slice_id=project-x
  kgraph purge --days 90           # e.g. nightly from cron
"""

LOAD_DESCRIPTION = """\
Write every fact of FILE (or standard input, '-') through the store's upsert.

JSON Lines: one object per line with "subject", "predicate", "object" (or
"obj") and an optional "metadata" object. "user_id", "org_id" and
"graph_slice_id" may also be given as top-level fields; they are put into the
metadata (a conflicting value there refuses the line). Blank lines are skipped.

  {"subject": "parser", "predicate": "written_in", "object": "C++",
   "metadata": {"graph_slice_id": "project-x"}, "user_id": "alice", "org_id": "acme"}

CSV: a header naming the columns subject, predicate, object (or obj), and
optionally metadata (a JSON object as text; empty means {}), user_id, org_id
and graph_slice_id (empty cells are left out).

The format follows the file extension (.jsonl/.ndjson/.json, .csv) or, for
standard input and other names, the first character ('{' means JSON Lines).

--user and --org fill in user_id and org_id for facts that lack them; search
only finds facts that carry both. A line that cannot be stored is reported as
'line N: reason' on standard error and skipped; the rest still loads. At the
end a summary gives how many facts were written (new), replaced (the same
triple for the same user and organisation again) and refused. Exit status 1
if any line was refused.
"""


class ArgumentParser(argparse.ArgumentParser):
    """Reports a usage error as one line (exit status 2)."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def _days(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of days: {text!r}") from None
    if not 0 <= value <= 365_000:
        raise argparse.ArgumentTypeError(f"must be between 0 and 365000, got {value}")
    return value


def _text(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _filter(text: str) -> tuple[str, Any]:
    key, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE or KEY:=JSON, got {text!r}")
    typed = key.endswith(":")
    if typed:
        key = key[:-1]
    if not _KEY_RE.fullmatch(key):
        raise argparse.ArgumentTypeError(
            f"unusable filter key {key!r}: a top-level metadata key of letters, digits and underscores")
    if typed:
        try:
            return key, json.loads(value)
        except json.JSONDecodeError:
            raise argparse.ArgumentTypeError(f"{key}:= needs a JSON value (42, true, null, \"text\"), "
                                             f"got {value!r}") from None
    return key, value


# ------------------------------------------------------------------- commands


def graph_path(args: argparse.Namespace) -> str:
    return args.path or default_path()


def emit(text: str) -> None:
    print(text, flush=True)


def cmd_load(args: argparse.Namespace) -> int:
    from kgraph_cli.progress import Progress  # rich, which only writing needs

    defaults = {}
    if args.user is not None:
        defaults["user_id"] = args.user
    if args.org is not None:
        defaults["org_id"] = args.org
    source = Source(args.file, args.format)
    try:
        items = source.items(defaults)  # a bad CSV header fails here, before the graph is touched
        graph = open_graph(graph_path(args), create=True, vectors=True)
        progress = Progress(f"loading {source.name}", total=source.total, item_name="lines",
                            every_items=args.progress_every)
        try:
            result = write_facts(graph, items, progress, where=source.name)
        finally:
            checkpoint(graph)
    finally:
        source.close()
    if args.json:
        emit(render.to_json({"file": source.name, "format": source.format, **result.as_json()}))
    else:
        state = "interrupted" if result.interrupted else "loaded"
        emit(f"{state} {source.name}: {result.summary()}")
    if result.interrupted:
        return 130
    return 1 if result.refused else 0


def cmd_search(args: argparse.Namespace) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=True)
    results = graph.search(args.query, user_id=args.user, org_id=args.org, k=args.k)
    if args.json:
        emit(render.to_json(results))
    elif not results:
        emit(f"no facts found for user {args.user!r} in organisation {args.org!r}")
    else:
        render.print_table(["score", "subject", "predicate", "object"],
                           [(f"{r['score']:.3f}" if isinstance(r["score"], float) else r["score"],
                             r["subject"], r["predicate"], r["object"]) for r in results])
    return 0


def cmd_neighbours(args: argparse.Namespace) -> int:
    fmt = "json" if args.json else args.format
    graph = open_graph(graph_path(args), create=False, vectors=False)
    records = graph.get_neighbours(args.entity, depth=args.depth)
    if fmt == "json":
        emit(render.to_json(records if args.limit is None else records[: args.limit]))
        return 0
    triples = render.distinct_triples(records)
    shown = triples if args.limit is None else triples[: args.limit]
    if fmt == "dot":
        emit(render.to_dot(shown, args.entity))
    elif fmt == "mermaid":
        emit(render.to_mermaid(shown, args.entity))
    elif not records:
        emit(f"no facts mention {args.entity!r}")
    else:
        render.print_table(["subject", "predicate", "object"], shown)
        note = f"{len(triples):,} facts within {args.depth} hop{'s' if args.depth != 1 else ''}"
        if len(records) != len(triples):
            note += f" ({len(records):,} paths)"
        if len(shown) != len(triples):
            note += f", {len(shown):,} shown"
        emit(note)
    return 0


def cmd_view(args: argparse.Namespace) -> int:
    from kgraph_cli.view import to_html

    graph = open_graph(graph_path(args), create=False, vectors=False)
    triples = render.distinct_triples(graph.get_neighbours(args.entity, depth=args.depth))
    if not triples:
        raise CommandError(f"no facts mention {args.entity!r}")
    shown = triples[: args.limit]
    out = args.output or f"{re.sub(r'[^A-Za-z0-9_.-]+', '_', args.entity)[:60] or 'graph'}.html"
    page = to_html(shown, args.entity, args.depth)
    try:
        with open(out, "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from exc
    note = f", {len(shown):,} of {len(triples):,} shown (--limit)" if len(shown) != len(triples) else ""
    emit(f"wrote {out}: {len(shown):,} facts within {args.depth} hop{'s' if args.depth != 1 else ''} "
         f"of {args.entity!r}{note}; open it in a browser")
    return 0


def cmd_fetch(args: argparse.Namespace) -> int:
    filters: dict[str, Any] = {}
    for key, value in args.filter or []:
        if key in filters and filters[key] != value:
            raise UsageError(f"--filter {key} is given twice with different values")
        filters[key] = value
    graph = open_graph(graph_path(args), create=False, vectors=False)
    records = graph.fetch_by_metadata(org_id=args.org, filters=filters)
    shown = records if args.limit is None else records[: args.limit]
    if args.json:
        emit(render.to_json(shown))
    elif not records:
        emit(f"no facts of organisation {args.org!r} match")
    else:
        # The organisation and the filtered values are the same on every row.
        known = {"org_id", *filters}
        render.print_table(["subject", "predicate", "object", "metadata"],
                           [(r["subject"], r["predicate"], r["object"],
                             render.summarise_metadata(r["metadata"], skip=known)) for r in shown])
        emit(f"{len(records):,} facts" + (f", {len(shown):,} shown" if len(shown) != len(records) else ""))
    return 0


def _documents_note(args: argparse.Namespace, documents: int | None) -> str:
    if documents is None:
        return "; their documents stay in the vector store (--keep-vectors)"
    return f" and {documents:,} documents"


def cmd_purge(args: argparse.Namespace) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors)
    cutoff = purge_cutoff(args.days).strftime("%Y-%m-%d %H:%M:%S UTC")
    documents: int | None = None
    if args.dry_run:
        ids = ids_older_than(graph, args.days, slack=False)
        removed = len(ids)
        if not args.keep_vectors:
            documents = len(documents_present(graph.vector_store, ids))
    else:
        # The identifiers first: once the rows are gone nothing tells which
        # documents were theirs.
        candidates = ids_older_than(graph, args.days, slack=True)
        before = count_facts(graph)
        graph.purge_expired(days=args.days)
        removed = before - count_facts(graph)
        checkpoint(graph)
        if not args.keep_vectors:
            gone = sorted(set(candidates) - stored_ids(graph, candidates))
            documents = delete_documents(graph.vector_store, gone)
    if args.json:
        emit(render.to_json({"days": args.days, "cutoff": cutoff, "dry_run": args.dry_run, "removed": removed,
                             "documents_removed": documents}))
    else:
        verb = "would remove" if args.dry_run else "removed"
        emit(f"{verb} {removed:,} facts older than {args.days} days (written before {cutoff})"
             + _documents_note(args, documents))
    return 0


def cmd_delete_context(args: argparse.Namespace) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors)
    documents: int | None = None
    ids = ids_of_slice(graph, args.org, args.slice)
    if args.dry_run:
        removed = len(ids)
        if not args.keep_vectors:
            documents = len(documents_present(graph.vector_store, ids))
    else:
        removed = graph.delete_context(org_id=args.org, graph_slice_id=args.slice)
        checkpoint(graph)
        if not args.keep_vectors:
            documents = delete_documents(graph.vector_store, sorted(set(ids) - stored_ids(graph, ids)))
    if args.json:
        emit(render.to_json({"org_id": args.org, "graph_slice_id": args.slice, "dry_run": args.dry_run,
                             "removed": removed, "documents_removed": documents}))
    else:
        verb = "would remove" if args.dry_run else "removed"
        emit(f"{verb} {removed:,} facts of slice {args.slice!r} in organisation {args.org!r}"
             + _documents_note(args, documents))
    return 0


def cmd_reconcile(args: argparse.Namespace) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=True)
    orphans = orphaned_documents(graph)
    if orphans and not args.dry_run:
        graph.vector_store.delete(orphans)
    if args.json:
        emit(render.to_json({"dry_run": args.dry_run, "documents_removed": len(orphans)}))
    else:
        verb = "would remove" if args.dry_run else "removed"
        emit(f"{verb} {len(orphans):,} documents whose facts are no longer in the table")
    return 0


def _bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    return f"{n} B"


def cmd_stats(args: argparse.Namespace) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=True)
    info = stats(graph, graph_path(args))
    if args.json:
        emit(render.to_json(info))
    else:
        render.print_pairs([
            ("path", info["path"]),
            ("facts", f"{info['facts']:,}"),
            ("organisations", f"{info['organisations']:,}"),
            ("users", f"{info['users']:,}"),
            ("slices", f"{info['slices']:,}"),
            ("oldest fact", info["oldest"]),
            ("newest fact", info["newest"]),
            ("database size", _bytes(info["database_bytes"])),
            ("vector store size", _bytes(info["vector_store_bytes"])),
            ("documents", f"{info['vector_documents']:,}"),
            ("orphaned documents", f"{info['orphaned_documents']:,}"
             + (" (kgraph reconcile removes them)" if info["orphaned_documents"] else "")),
        ])
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from kgraph_cli.demo import run_demo

    return run_demo(args, build_parser(), dispatch)


class UsageError(Exception):
    """Bad usage found after parsing; exit status 2."""


# --------------------------------------------------------------------- parser


def build_parser() -> ArgumentParser:
    common = ArgumentParser(add_help=False)
    # Accepted before or after the command; SUPPRESS keeps a value given
    # before the command when none is given after it.
    common.add_argument("--path", metavar="DIR", default=argparse.SUPPRESS,
                        help=f"the graph's directory (default: ${PATH_ENV}, else {DEFAULT_PATH})")
    common.add_argument("-v", "--verbose", action="count", default=argparse.SUPPRESS,
                        help="log the store's messages (-v: info, -vv: debug and tracebacks)")

    parser = ArgumentParser(prog="kgraph", description=DESCRIPTION, epilog=EPILOG,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--path", metavar="DIR", default=None,
                        help=f"the graph's directory (default: ${PATH_ENV}, else {DEFAULT_PATH})")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log the store's messages (-v: info, -vv: debug and tracebacks)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, func: Any, help_text: str, description: str | None = None) -> ArgumentParser:
        p = sub.add_parser(name, parents=[common], help=help_text, description=description or help_text,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(func=func)
        return p

    p = command("load", cmd_load, "write facts from a JSON Lines or CSV file", LOAD_DESCRIPTION)
    p.add_argument("file", metavar="FILE", help="the input file, or - for standard input")
    p.add_argument("--format", choices=FORMATS, help="the input format (default: from the extension)")
    p.add_argument("--user", type=_text, metavar="U", help="user_id for facts that do not name one")
    p.add_argument("--org", type=_text, metavar="O", help="org_id for facts that do not name one")
    p.add_argument("--progress-every", type=_positive_int, default=10_000, metavar="N",
                   help="when standard error is no terminal, report progress every N lines (default 10000)")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")

    p = command("search", cmd_search, "find the facts closest in meaning to a query",
                "Find the facts closest in meaning to QUERY among those of one user in one\n"
                "organisation, best first, with their similarity scores.")
    p.add_argument("query", metavar="QUERY")
    p.add_argument("--user", required=True, metavar="U", help="the user whose facts are searched")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("-k", type=_positive_int, default=5, metavar="N", help="how many facts (default 5)")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")

    p = command("neighbours", cmd_neighbours, "walk the graph outward from an entity",
                "List the facts within --depth hops of ENTITY: the facts naming it as subject\n"
                "or object, then onward from their objects. The table and the pictures show\n"
                "each fact once; --json gives the store's answer as it is (one record per\n"
                "path, so a fact reached over several paths repeats).\n\n"
                "--format dot writes Graphviz input:  kgraph neighbours X --format dot | dot -Tsvg -o x.svg\n"
                "--format mermaid writes a Mermaid flowchart (paste it into Markdown).")
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--depth", type=_positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("--format", choices=("table", "json", "dot", "mermaid"), default="table",
                   help="output format (default: table)")
    p.add_argument("--json", action="store_true", help="same as --format json")
    p.add_argument("--limit", type=_positive_int, metavar="N", help="show at most N facts")

    p = command("view", cmd_view, "draw the neighbourhood of an entity as an interactive HTML page",
                "Write one self-contained HTML page (scripts and styles inside; it opens\n"
                "without network) showing the facts within --depth hops of ENTITY as a graph\n"
                "to drag and zoom: nodes are entities, edges are labelled with the predicate,\n"
                "ENTITY is highlighted, long names are cut (hover for more).")
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--depth", type=_positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("-o", "--output", metavar="FILE", help="the page to write (default: ENTITY.html)")
    p.add_argument("--limit", type=_positive_int, default=500, metavar="N",
                   help="draw at most N facts (default 500; more is hard to read)")

    p = command("fetch", cmd_fetch, "list an organisation's facts whose metadata match filters",
                "List the facts of one organisation whose metadata hold every given value.\n\n"
                "--filter KEY=VALUE matches the text VALUE; --filter KEY:=JSON matches a typed\n"
                "value (lineno:=12, done:=true). Keys are top-level metadata keys made of\n"
                "letters, digits and underscores. Without filters every fact of the\n"
                "organisation is listed.")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("--filter", type=_filter, action="append", metavar="KEY=VALUE",
                   help="a metadata condition (repeat for several; all must hold)")
    p.add_argument("--limit", type=_positive_int, metavar="N", help="show at most N facts")
    p.add_argument("--json", action="store_true", help="print JSON (with the whole metadata)")

    keep_help = "leave the facts' documents in the vector store (search can still return them)"
    p = command("purge", cmd_purge, "delete the facts older than a number of days",
                "Delete every fact (of all users and organisations) last written more than\n"
                "--days days ago, and the documents of those facts from the vector store.\n"
                "Meant to run from a scheduler; nothing purges on its own.")
    p.add_argument("--days", type=_days, required=True, metavar="N", help="the retention period in days")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("delete-context", cmd_delete_context, "delete one graph slice of an organisation",
                "Delete every fact of organisation --org whose metadata graph_slice_id is\n"
                "--slice, and the documents of those facts from the vector store.")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("--slice", required=True, metavar="S", help="the graph_slice_id")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("reconcile", cmd_reconcile, "remove documents whose facts are gone from the table",
                "Remove from the vector store every document whose fact is no longer in the\n"
                "table, whoever deleted it (a host application, --keep-vectors, an older\n"
                "kgraph), so that search stops returning it. 'kgraph stats' counts them.")
    p.add_argument("--dry-run", action="store_true", help="only count what would be removed")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("stats", cmd_stats, "count facts, organisations, users and slices",
                "Facts, organisations, users and slices (distinct non-empty values), the\n"
                "oldest and newest write, and the size of the files.")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")

    p = command("demo", cmd_demo, "build a code graph of the standard library and query it",
                "Read the standard library of this interpreter with the ast module, store\n"
                "what each module imports and defines (with the source of every function and\n"
                "class as metadata), then run one query of each kind and say what to try next.\n\n"
                "Default --path: the usual graph directory plus /demo (./kgraph-data/demo),\n"
                "so the demo never mixes with your own facts. A graph the demo built earlier\n"
                "for the same interpreter and module count is reused; --rebuild starts afresh.")
    p.add_argument("--limit-modules", type=_positive_int, metavar="N",
                   help="read only the first N modules (the json package comes first)")
    p.add_argument("--rebuild", action="store_true", help="delete the demo graph and build it again")
    return parser


# ----------------------------------------------------------------------- main


class _Formatter(logging.Formatter):
    def __init__(self, tracebacks: bool) -> None:
        super().__init__("kgraph: %(levelname)s: %(message)s")
        self.tracebacks = tracebacks

    def format(self, record: logging.LogRecord) -> str:
        if not self.tracebacks and (record.exc_info or record.exc_text):
            record = logging.makeLogRecord({**record.__dict__, "exc_info": None, "exc_text": None})
        return super().format(record)


def setup_logging(verbosity: int) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Formatter(tracebacks=verbosity >= 2))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    # Quiet by default: only errors (a vector store that fails, say).
    root.setLevel(logging.ERROR if verbosity <= 0 else logging.INFO if verbosity == 1 else logging.DEBUG)
    logging.getLogger(STORE_MODULE).setLevel(logging.NOTSET)


def dispatch(args: argparse.Namespace) -> int:
    return args.func(args)


def _fail(message: str, status: int) -> int:
    message = " ".join(str(message).split()) or "failed"
    print(f"kgraph: error: {message}", file=sys.stderr, flush=True)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    verbosity = args.verbose or 0
    setup_logging(verbosity)
    try:
        return dispatch(args)
    except UsageError as exc:
        return _fail(f"{exc} (see 'kgraph {args.command} --help')", 2)
    except CommandError as exc:
        return _fail(str(exc), 1)
    except KeyboardInterrupt:
        print("kgraph: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:  # the store's and the database's errors
        if verbosity >= 2:
            traceback.print_exc()
        kind = type(exc).__name__
        return _fail(f"{kind}: {exc}" if type(exc).__module__.split(".")[0] in ("duckdb", "_duckdb")
                     else str(exc) or kind, 1)
