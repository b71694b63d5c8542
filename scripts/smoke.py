"""Runs an installed store once through every extension module of its package.

Every extension module in the installed package folder is imported; the ones
named in CHECKS are also used on one store in a temporary directory, each
under an organisation of its own. A module the folder holds without a check
is reported as imported only; a module with a check that the folder lacks is
a failure. Adding a module's check is one function with @check("name").

    python scripts/smoke.py      (from outside the source tree)
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.metadata
import sys
import tempfile
import traceback
from collections.abc import Callable
from pathlib import Path
from typing import Any

PACKAGE = "corvanta.kgraph.providers.duckdb_sqlite"
DISTRIBUTIONS = ["corvanta-kgraph-duckdb", "kgraph-tools"]

CHECKS: dict[str, Callable[[Any, Any], None]] = {}


def check(name: str) -> Callable[[Callable[[Any, Any], None]], Callable[[Any, Any], None]]:
    """Registers `function(module, graph)` as the check of module `name`."""
    def register(function: Callable[[Any, Any], None]) -> Callable[[Any, Any], None]:
        CHECKS[name] = function
        return function
    return register


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def meta(org: str, **more: Any) -> dict[str, Any]:
    return {"user_id": "smoke", "org_id": org, **more}


@check("duck_graph")
def _store(module: Any, graph: Any) -> None:
    org = "org-store"
    first = graph.upsert_fact("alice", "knows", "bob", meta(org, graph_slice_id="team"))
    graph.upsert_fact("bob", "knows", "carol", meta(org, graph_slice_id="team"))
    expect(len(first) == 64, f"fact id {first!r}")
    hits = graph.search("alice knows bob", user_id="smoke", org_id=org, k=5)
    expect(hits and (hits[0]["subject"], hits[0]["object"]) == ("alice", "bob"), f"search found {hits}")
    walked = {(row["subject"], row["object"]) for row in graph.get_neighbours("alice", depth=2)}
    expect({("alice", "bob"), ("bob", "carol")} <= walked, f"get_neighbours gave {walked}")
    fetched = graph.fetch_by_metadata(org_id=org, filters={"graph_slice_id": "team"})
    expect(len(fetched) == 2, f"fetch_by_metadata gave {len(fetched)} facts")
    expect(graph.delete_context(org_id=org, graph_slice_id="team") == 2, "delete_context count")
    graph.upsert_fact("old", "fact", "here", meta(org))
    graph.conn.execute("UPDATE facts SET created_at = created_at - INTERVAL 100 DAY WHERE org_id = ?", [org])
    graph.purge_expired(days=90)
    left = graph.conn.execute("SELECT count(*) FROM facts WHERE org_id = ?", [org]).fetchone()[0]
    expect(left == 0, f"purge_expired left {left} facts")


@check("bulk")
def _bulk(module: Any, graph: Any) -> None:
    org = "org-bulk"
    facts = [(f"s{i}", "links", f"s{i + 1}", meta(org)) for i in range(50)]
    ids = module.upsert_facts(graph, facts)
    expect(len(set(ids)) == 50, "upsert_facts ids")
    expect(ids[7] == graph.upsert_fact(*facts[7]), "upsert_facts id differs from upsert_fact's")
    try:
        module.upsert_facts(graph, [("x", "y", "z", meta(org)), ("x", "y", "z", ["no", "dict"])])
    except TypeError:  # a refused fact refuses the call
        pass
    else:
        raise AssertionError("upsert_facts took metadata that is no dict")
    stored = graph.conn.execute("SELECT count(*) FROM facts WHERE org_id = ?", [org]).fetchone()[0]
    expect(stored == 50, f"{stored} facts stored after a refused call")


@check("traversal")
def _traversal(module: Any, graph: Any) -> None:
    org = "org-walk"
    for a, b in [("a", "b"), ("b", "c"), ("c", "a")]:
        graph.upsert_fact(a, "next", b, meta(org))
    graph.upsert_fact("a", "next", "elsewhere", meta("org-other"))
    walked = module.neighbourhood(graph, "a", depth=1_000_000, org_id=org)
    expect([(r["subject"], r["object"], r["hop"]) for r in walked] ==
           [("a", "b", 1), ("c", "a", 1), ("b", "c", 2)], f"neighbourhood gave {walked}")


@check("retention")
def _retention(module: Any, graph: Any) -> None:
    org = "org-retention"
    ids = [graph.upsert_fact(f"r{i}", "in", "slice", meta(org, graph_slice_id="gone")) for i in range(3)]
    result = module.delete_context(graph, org_id=org, graph_slice_id="gone")
    expect(result == {"facts": 3, "documents": 3, "pending": 0}, f"delete_context gave {result}")
    expect(not any(i in graph.vector_store for i in ids), "documents left in the vector store")
    graph.upsert_fact("old", "fact", "here", meta(org))
    graph.conn.execute("UPDATE facts SET created_at = created_at - INTERVAL 100 DAY WHERE org_id = ?", [org])
    result = module.purge_expired(graph, days=90)
    expect(result["facts"] == 1 and result["pending"] == 0, f"purge_expired gave {result}")
    expect(module.reconcile(graph) == {"delivered": 0, "pending": 0}, "reconcile")


@check("transactions")
def _transactions(module: Any, graph: Any) -> None:
    org = "org-transaction"
    try:
        with module.transaction(graph):
            graph.upsert_fact("undone", "in", "rollback", meta(org))
            raise LookupError
    except LookupError:
        pass
    with module.transaction(graph):
        kept = graph.upsert_fact("kept", "in", "commit", meta(org))
    rows = graph.conn.execute("SELECT id FROM facts WHERE org_id = ?", [org]).fetchall()
    expect(rows == [(kept,)], f"transaction left {rows}")


@check("retrieval")
def _retrieval(module: Any, graph: Any) -> None:
    org = "org-context"
    graph.upsert_fact("alice", "knows", "bob", meta(org))
    graph.upsert_fact("bob", "knows", "carol", meta(org))
    records = module.context(graph, "alice knows bob", user_id="smoke", org_id=org, k=1, depth=1)
    found = [(r["subject"], r["object"], r["hop"]) for r in records]
    expect(found == [("alice", "bob", 0), ("bob", "carol", 1)], f"context gave {found}")


def extension_modules(folder: Path) -> list[str]:
    """The modules' names, duck_graph first. The build tags every module's file
    with the interpreter's ABI; a bare .so there is the store's library."""
    suffixes = [s for s in importlib.machinery.EXTENSION_SUFFIXES if s != ".so"]
    names = {path.name[: -len(suffix)] for path in folder.iterdir() for suffix in suffixes
             if path.name.endswith(suffix)}
    return sorted(names, key=lambda name: (name != "duck_graph", name))


def main() -> int:
    for distribution in DISTRIBUTIONS:
        try:
            print(f"smoke: {distribution} {importlib.metadata.version(distribution)}")
        except importlib.metadata.PackageNotFoundError:
            print(f"smoke: {distribution} not installed")
    package = importlib.import_module(PACKAGE)
    [folder] = [Path(p) for p in package.__path__ if any(Path(p).glob("duck_graph.*"))]
    print(f"smoke: package folder {folder}")
    found = extension_modules(folder)
    passed, failed = 0, []
    for name in sorted(set(CHECKS) - set(found)):
        failed.append(name)
        print(f"smoke: {name}: missing from {folder}")
    with tempfile.TemporaryDirectory(prefix="kgraph-smoke-") as directory:
        graph = None
        for name in found:
            try:
                module = importlib.import_module(f"{PACKAGE}.{name}")
                expect(Path(module.__file__).parent == folder, f"{name} loaded from {module.__file__}")
                if graph is None:
                    graph = importlib.import_module(f"{PACKAGE}.duck_graph").DuckSqliteGraph(directory)
                if name in CHECKS:
                    CHECKS[name](module, graph)
                    print(f"smoke: {name}: ok")
                else:
                    print(f"smoke: {name}: imported (no check for it here)")
                passed += 1
            except Exception:
                failed.append(name)
                print(f"smoke: {name}: FAILED", file=sys.stderr)
                traceback.print_exc()
    print(f"smoke: {passed} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
