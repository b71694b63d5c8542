"""Looking at a graph: ``stats`` (what it holds, and where the table and the
vector store disagree) and ``check`` (damage, and what to do about it)."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from pathlib import Path
from typing import Any

from kgraph_cli import render
from kgraph_cli.store import (DB_FILENAME, RESTORE_HINT, VECTORS_DIRNAME, CommandError, DamagedDatabase, DocumentGaps,
                              database_bytes, damaged_message, graph_path, is_damaged, open_graph,
                              pending_deletions, vector_store_bytes)

# --by: the columns a count is given for, and how each is computed.
BY = {
    "org": (("org_id", "org_id"),),
    "user": (("org_id", "org_id"), ("user_id", "user_id")),
    "slice": (("org_id", "org_id"), ("graph_slice_id", "json_extract_string(metadata, '$.graph_slice_id')")),
}


def stats(graph: Any, path: Path) -> dict[str, Any]:
    facts, orgs, users, oldest, newest = graph.conn.execute(
        "SELECT count(*), count(DISTINCT NULLIF(org_id, '')), count(DISTINCT NULLIF(user_id, '')), "
        "min(created_at), max(created_at) FROM facts").fetchone()
    # A slice is a graph_slice_id within one organisation, as delete-context
    # takes it: the same id in two organisations is two slices.
    (slices,) = graph.conn.execute(
        "SELECT count(*) FROM (SELECT DISTINCT org_id, json_extract_string(metadata, '$.graph_slice_id') AS s "
        "FROM facts) WHERE s IS NOT NULL AND s <> ''").fetchone()
    gaps = DocumentGaps(graph, keep_missing=False)
    return {
        "path": str(path),
        "facts": int(facts),
        "organisations": int(orgs),
        "users": int(users),
        "slices": int(slices),
        "oldest": None if oldest is None else oldest.isoformat(sep=" ", timespec="seconds"),
        "newest": None if newest is None else newest.isoformat(sep=" ", timespec="seconds"),
        "database_bytes": database_bytes(path),
        "vector_store_bytes": vector_store_bytes(path),
        "vector_documents": gaps.documents,
        "facts_without_documents": gaps.missing_count,
        "orphaned_documents": len(gaps.orphans),
        "stale_documents": len(gaps.stale),
        "pending_deletions": pending_deletions(graph),
    }


def stats_by(graph: Any, by: str) -> list[dict[str, Any]]:
    names = [name for name, _ in BY[by]]
    columns = ", ".join(expr for _, expr in BY[by])
    places = ", ".join(str(i) for i in range(1, len(names) + 1))
    rows = graph.conn.execute(f"SELECT {columns}, count(*) FROM facts GROUP BY {places} "
                              f"ORDER BY {len(names) + 1} DESC, {places}").fetchall()
    return [dict(zip([*names, "facts"], row)) for row in rows]


def cmd_stats(args: Any) -> int:
    path = graph_path(args)
    graph = open_graph(path, create=False, vectors=args.by is None, wait=args.wait, read_only=True)
    if args.by is not None:
        rows = stats_by(graph, args.by)
        if args.json:
            render.emit(render.to_json(rows))
        else:
            headers = [name for name, _ in BY[args.by]]
            render.print_table([*headers, "facts"],
                               [[("(none)" if row[key] in (None, "") else row[key]) for key in headers]
                                + [f"{row['facts']:,}"] for row in rows])
            render.emit(f"{render.plural(len(rows), 'value')}" + (
                "; facts without user_id or org_id are never found by search" if any(
                    row.get(key) in (None, "") for row in rows for key in ("org_id", "user_id") if key in row)
                else ""))
        return 0
    info = stats(graph, path)
    if args.json:
        render.emit(render.to_json(info))
        return 0

    def hint(n: int, text: str) -> str:
        return f"{n:,}" + (f" ({text})" if n else "")

    render.print_pairs([
        ("path", info["path"]),
        ("facts", f"{info['facts']:,}"),
        ("organisations", f"{info['organisations']:,}"),
        ("users", f"{info['users']:,}"),
        ("slices", f"{info['slices']:,}"),
        ("oldest fact", info["oldest"]),
        ("newest fact", info["newest"]),
        ("database size", render.format_bytes(info["database_bytes"])),
        ("vector store size", render.format_bytes(info["vector_store_bytes"])),
        ("documents", f"{info['vector_documents']:,}"),
        ("facts without documents", hint(info["facts_without_documents"],
                                         "search misses them; kgraph reconcile adds their documents")),
        ("orphaned documents", hint(info["orphaned_documents"], "kgraph reconcile removes them")),
        ("stale documents", hint(info["stale_documents"], "their metadata differ from their facts'; kgraph reconcile "
                                                          "refreshes them")),
        ("pending deletions", hint(info["pending_deletions"], "deleted facts whose documents are still to be "
                                                               "removed; kgraph reconcile removes them")),
    ])
    return 0


@dataclasses.dataclass
class Finding:
    file: str
    offset: int | None
    problem: str
    remedy: str
    damage: bool = True  # False: the two stores disagree, nothing is damaged

    def line(self) -> str:
        where = self.file if self.offset is None else f"{self.file} at byte {self.offset}"
        return f"{where}: {self.problem}; {self.remedy}"


# Every column of every row goes through the hash, so every block of the
# tables is read and its checksum verified.
def _read_everything(graph: Any) -> int:
    conn = graph.conn
    tables = [row[0] for row in conn.execute(
        "SELECT table_name FROM duckdb_tables() WHERE database_name = current_database() ORDER BY 1").fetchall()]
    facts = 0
    for table in tables:
        quoted = '"' + table.replace('"', '""') + '"'
        row = conn.execute(f"SELECT count(*), bit_xor(hash(COLUMNS(*))) FROM {quoted}").fetchone()
        if table == "facts":
            facts = int(row[0])
    return facts


def _vector_findings(directory: Path, graph: Any | None, facts: int | None) -> tuple[int, list[Finding]]:
    """What the vector files hold and what is wrong with them; with the
    facts readable (``graph``), the documents that went stale too."""
    from corvanta.vectorstores.memory import PERSIST_FILENAME, InMemoryVectorStore

    if not directory.is_dir() or not any(directory.iterdir()):
        if facts:
            return 0, [Finding(VECTORS_DIRNAME, None, f"there is no vector store: search finds none of the "
                               f"{facts:,} facts", "'kgraph reindex' builds it from the table")]
        return 0, []
    store = InMemoryVectorStore.open_checked(directory)
    findings = []
    for problem in store.problems:
        if problem.derived:
            remedy = "nothing is lost: the next command repairs it from the documents"
        else:
            remedy = "'kgraph reconcile' adds lost documents again, then 'kgraph compact' drops the damage"
        findings.append(Finding(f"{VECTORS_DIRNAME}/{problem.file}", problem.offset, problem.message, remedy))
    if graph is not None:
        stale = DocumentGaps(graph, keep_missing=False, store=store).stale
        if stale:
            findings.append(Finding(f"{VECTORS_DIRNAME}/{PERSIST_FILENAME}", None,
                                    f"{render.plural(len(stale), 'document')} hold{'s' if len(stale) == 1 else ''} "
                                    f"other metadata than {'its fact' if len(stale) == 1 else 'their facts'} (stale, "
                                    f"e.g. id {stale[0]}): search returns the old values",
                                    "'kgraph reconcile' refreshes them", damage=False))
    return len(store), findings


def cmd_check(args: Any) -> int:
    path = graph_path(args)
    if not (path / DB_FILENAME).is_file():
        raise CommandError(f"no knowledge graph at {path} (no {DB_FILENAME}); pick it with --path")
    findings: list[Finding] = []
    facts: int | None = None
    graph = None
    try:
        graph = open_graph(path, create=False, vectors=False, wait=args.wait, read_only=True)
        facts = _read_everything(graph)
    except DamagedDatabase as exc:
        findings.append(Finding(DB_FILENAME, None, str(exc).split(";")[0], RESTORE_HINT))
    except Exception as exc:
        if not is_damaged(str(exc)):
            raise
        findings.append(Finding(DB_FILENAME, None, damaged_message(str(exc)).split(";")[0], RESTORE_HINT))
    documents, vector_findings = _vector_findings(path / VECTORS_DIRNAME, graph if facts is not None else None, facts)
    findings += vector_findings
    damage = [f for f in findings if f.damage]
    if args.json:
        render.emit(render.to_json({"path": str(path), "facts": facts, "documents": documents,
                                    "damaged": bool(damage),
                                    "problems": [dataclasses.asdict(f) for f in findings]}))
    else:
        for finding in findings:
            render.emit(finding.line())
        read = (f"{facts:,} facts read (every column of every row)" if facts is not None
                else "the facts could not all be read")
        verdict = f"{render.plural(len(damage), 'problem')} found" if damage else "no damage found"
        render.emit(f"{verdict}: {read}; {render.plural(documents, 'document')} and their vectors checked, and "
                    "their metadata against their facts'")
    # Stale documents are reported, but they are no damage: a check before
    # a backup still passes.
    return 1 if damage else 0


def register(command: Callable[..., Any]) -> None:
    p = command("stats", cmd_stats, "count facts, organisations, users and slices",
                "Facts; organisations and users (distinct non-empty org_id and user_id\n"
                "values); slices (distinct non-empty graph_slice_id values within each\n"
                "organisation: the same id in two organisations is two slices, as\n"
                "delete-context sees them); the oldest and newest write, the size of the\n"
                "files, and where the table and the vector store disagree: facts without a\n"
                "document (search misses them), orphaned documents (search still returns\n"
                "them), stale documents (metadata other than their facts') and pending\n"
                "deletions. --by org|user|slice lists the values with their numbers of\n"
                "facts instead (slices with their organisation).")
    p.add_argument("--by", choices=tuple(BY), help="list the organisations, users or slices with their counts")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")

    p = command("check", cmd_check, "look for damage in the database and the vector store",
                "Read every fact of the database (every column, so that a block whose\n"
                "checksum fails anywhere in the table is found) and every record and chunk\n"
                "of the vector store's files, and compare every document's metadata with\n"
                "what its fact's row gives, changing nothing. One line per problem, with\n"
                "what to do. Exit status 1 when something is damaged (stale documents are\n"
                "reported, but are no damage: 'kgraph reconcile' refreshes them).")
    p.add_argument("--json", action="store_true", help="print JSON instead of lines")
