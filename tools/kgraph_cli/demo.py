"""``kgraph demo``: builds the standard-library graph, then runs one query of
each kind through the ordinary commands and says what to try next."""

from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from kgraph_cli import interrupts, render, stdlib_graph
from kgraph_cli.loading import write_facts
from kgraph_cli.progress import Progress, format_duration
from kgraph_cli.sources import Item
from kgraph_cli.store import (DB_FILENAME, VECTORS_DIRNAME, CommandError, checkpoint, count_facts, default_path, expand,
                              open_graph, read_only_connection)

MARKER = "demo.json"
SEARCH_QUERY = "decode a JSON document"
NEIGHBOUR_ENTITY = "json.decoder"


def demo_path(args: argparse.Namespace) -> Path:
    return expand(args.path) if args.path else default_path() / "demo"


def _foreign_facts(conn: Any) -> int:
    """Facts outside the demo's scope (user demo of organisation stdlib):
    facts the demo did not write."""
    (n,) = conn.execute("SELECT count(*) FROM facts WHERE user_id <> ? OR org_id <> ?",
                        [stdlib_graph.USER_ID, stdlib_graph.ORG_ID]).fetchone()
    return int(n)


def _refuse_foreign(path: Path, n: int, doing: str) -> None:
    if n:
        raise CommandError(f"{path} holds {render.plural(n, 'fact')} the demo did not write (of other users or "
                           f"organisations than user {stdlib_graph.USER_ID!r} of {stdlib_graph.ORG_ID!r}): the demo "
                           f"{doing} a graph of its own; nothing was changed. Leave --path out (the demo then uses "
                           "./kgraph-data/demo) or name a new directory")


def _remove_graph(path: Path) -> None:
    """Removes the files a demo graph consists of, and nothing else."""
    for name in (DB_FILENAME, DB_FILENAME + ".wal", MARKER):
        (path / name).unlink(missing_ok=True)
    vectors = path / VECTORS_DIRNAME
    if vectors.is_dir():
        shutil.rmtree(vectors)


def _read_marker(path: Path) -> dict[str, Any] | None:
    try:
        marker = json.loads((path / MARKER).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return marker if isinstance(marker, dict) and (path / DB_FILENAME).is_file() else None


def _program() -> list[str]:
    """How to run this tool again, as the user can type it."""
    argv0 = sys.argv[0] if sys.argv and sys.argv[0] else ""
    if os.path.basename(argv0) == "kgraph":
        on_path = shutil.which("kgraph")
        if on_path and os.path.realpath(on_path) == os.path.realpath(argv0):
            return ["kgraph"]
        return [argv0]
    return [sys.executable, "-m", "kgraph_cli"]


def _section(title: str) -> None:
    print(f"\n== {title}", flush=True)


def run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser,
             dispatch: Callable[[argparse.Namespace], int]) -> int:
    path = demo_path(args)
    root = stdlib_graph.stdlib_root()
    modules = stdlib_graph.find_modules(root)
    if args.limit_modules is not None:
        modules = modules[: args.limit_modules]
    signature = {"python": sys.version.split()[0], "stdlib": str(root), "modules": len(modules)}

    marker = _read_marker(path)
    if args.rebuild:
        if (path / DB_FILENAME).is_file():
            with read_only_connection(path, wait=args.wait) as conn:
                _refuse_foreign(path, _foreign_facts(conn), "deletes only")
        _remove_graph(path)
        marker = None

    print(f"kgraph demo: a code knowledge graph of the Python {signature['python']} standard library\n"
          f"  source: {root} ({len(modules)} modules)\n"
          f"  graph:  {path}", flush=True)
    graph = open_graph(path, create=True, vectors=True, wait=args.wait)
    _refuse_foreign(path, _foreign_facts(graph.conn), "writes only into")
    reuse = marker is not None and all(marker.get(k) == v for k, v in signature.items())

    if reuse:
        assert marker is not None
        read, stored, seconds = marker.get("facts"), marker.get("stored"), marker.get("seconds")
        built = (f" ({read:,} facts read, {stored:,} stored, in {format_duration(seconds)})"
                 if isinstance(read, int) and isinstance(stored, int) and isinstance(seconds, (int, float)) else "")
        print(f"\nUsing the graph built earlier{built}; add --rebuild to build it again.", flush=True)
    else:
        _section("Building the graph")
        extraction = stdlib_graph.Extraction()
        progress = Progress("reading modules", total=len(modules), item_name="facts")
        items = (Item(fact[3].get("lineno", 0), fact, position=index - 1)
                 for index, _module, fact in stdlib_graph.iter_facts(modules, extraction))
        try:
            result = write_facts(graph, items, progress, where="demo")
        finally:
            checkpoint(graph)
        if result.interrupted:
            print(f"interrupted: {result.summary()}", flush=True)
            return interrupts.status()
        stored = count_facts(graph)
        print(f"read {extraction.modules_read} modules ({len(extraction.modules_skipped)} skipped), "
              f"{extraction.facts:,} facts: {result.summary()}", flush=True)
        if stored != extraction.facts:
            print(f"The graph holds {stored:,} facts: {extraction.facts - stored:,} of those read repeat an earlier "
                  "one (the same triple twice, such as a function defined for two platforms) and replaced it.",
                  flush=True)
        for name, reason in extraction.modules_skipped[:5]:
            print(f"  skipped {name}: {reason}")
        print("Facts go in 1,000 at a time through the store's batch upsert: one statement per chunk,\n"
              "then one vector-store add of the chunk (metadata, code included, cut to 60 kB).",
              flush=True)
        (path / MARKER).write_text(json.dumps({**signature, "facts": extraction.facts, "stored": stored,
                                               "seconds": round(result.seconds, 1),
                                               "facts_per_second": round(result.rate, 1)}) + "\n",
                                   encoding="utf-8")
        if result.refused:
            return 1

    entity = NEIGHBOUR_ENTITY
    if not graph.conn.execute("SELECT 1 FROM facts WHERE subject = ? LIMIT 1", [entity]).fetchone():
        row = graph.conn.execute("SELECT subject FROM facts WHERE predicate = 'imports' "
                                 "ORDER BY subject LIMIT 1").fetchone()
        entity = row[0] if row else (modules[0].name if modules else "json")

    base = [*_program(), "--path", str(path)]
    queries = [
        ("Similarity search (ranked by the vector store)",
         ["search", SEARCH_QUERY, "--user", stdlib_graph.USER_ID, "--org", stdlib_graph.ORG_ID, "-k", "5"]),
        (f"The neighbourhood of {entity}, as a Mermaid picture",
         ["neighbours", entity, "--org", stdlib_graph.ORG_ID, "--depth", "1", "--format", "mermaid",
          "--limit", "25"]),
        ("Facts by metadata: the classes of the json package",
         ["fetch", "--org", stdlib_graph.ORG_ID, "--filter", "graph_slice_id=json", "--filter", "kind=class"]),
        ("What the graph holds", ["stats"]),
        ("Retention by age (a dry run: everything here is new)", ["purge", "--days", "90", "--dry-run"]),
        ("Deleting one slice (a dry run)",
         ["delete-context", "--org", stdlib_graph.ORG_ID, "--slice", "json", "--dry-run"]),
    ]
    for title, argv in queries:
        _section(title)
        print("$ " + shlex.join(base + argv), flush=True)
        status = dispatch(parser.parse_args(["--path", str(path), *argv]))
        if status:
            return status

    cmd = " ".join(shlex.quote(a) for a in base)
    print(f"""
== Try next
  {cmd} search "join path components" --user demo --org stdlib -k 10
  {cmd} context "decode JSON documents" --user demo --org stdlib --limit 12
  {cmd} neighbours json.decoder.JSONDecoder --org stdlib --format dot | dot -Tsvg -o decoder.svg
  {cmd} neighbours email.message --org stdlib --depth 2 --limit 40
  {cmd} view json.decoder --org stdlib --depth 2 -o json-decoder.html
  {cmd} fetch --org stdlib --filter module=pathlib._local --filter kind=method --json
  {cmd} fetch --org stdlib --filter kind=class --filter graph_slice_id=asyncio
  {cmd} delete-context --org stdlib --slice tkinter
  {cmd} purge --days 0 --dry-run
  {cmd} reconcile --dry-run
  {" ".join(shlex.quote(a) for a in _program())} --help""", flush=True)
    return 0
