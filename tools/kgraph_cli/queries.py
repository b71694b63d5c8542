"""The store's questions: ``search``, ``neighbours``, ``view`` and ``fetch``."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from kgraph_cli import options, render
from kgraph_cli.store import CommandError, UsageError, graph_path, open_graph


def cmd_search(args: Any) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=True, wait=args.wait, read_only=True)
    results = graph.search(args.query, user_id=args.user, org_id=args.org, k=args.k)
    if args.json:
        render.emit(render.to_json(results))
    elif not results:
        render.emit(f"no facts found for user {args.user!r} in organisation {args.org!r}")
    else:
        render.print_table(["score", "subject", "predicate", "object"],
                           [(f"{r['score']:.3f}" if isinstance(r["score"], float) else r["score"],
                             r["subject"], r["predicate"], r["object"]) for r in results])
    return 0


def walk(args: Any, limit: int | None) -> list[dict[str, Any]]:
    """The facts around ``args.entity`` within ``args.depth`` hops, of
    organisation ``args.org`` (and user ``args.user`` when given), each once
    with the smallest hop that reaches it; ``limit`` caps them in the query."""
    from corvanta.kgraph.providers.duckdb_sqlite import traversal

    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait, read_only=True)
    return traversal.neighbourhood(graph, args.entity, args.depth, org_id=args.org, user_id=args.user, limit=limit)


def _scope(args: Any) -> str:
    return f"organisation {args.org!r}" + (f" (user {args.user!r})" if args.user is not None else "")


def _hops(depth: int) -> str:
    return f"{depth:,} hop{'s' if depth != 1 else ''}"


def cmd_neighbours(args: Any) -> int:
    fmt = "json" if args.json else args.format
    records = walk(args, args.limit)
    if fmt == "json":
        render.emit(render.to_json(records))
    elif fmt == "dot":
        render.emit(render.to_dot(render.distinct_triples(records), args.entity))
    elif fmt == "mermaid":
        render.emit(render.to_mermaid(render.distinct_triples(records), args.entity))
    elif not records:
        render.emit(f"no facts of {_scope(args)} mention {args.entity!r}")
    else:
        render.print_table(["hop", "subject", "predicate", "object"],
                           [(r["hop"], r["subject"], r["predicate"], r["object"]) for r in records])
        note = f"{len(records):,} facts of {_scope(args)} within {_hops(args.depth)}"
        if args.limit is not None and len(records) == args.limit:
            note += " (--limit reached: there may be more)"
        render.emit(note)
    return 0


def cmd_view(args: Any) -> int:
    from kgraph_cli.view import to_html

    records = walk(args, args.limit)
    if not records:
        raise CommandError(f"no facts of {_scope(args)} mention {args.entity!r}")
    triples = render.distinct_triples(records)
    out = args.output or f"{re.sub(r'[^A-Za-z0-9_.-]+', '_', args.entity)[:60] or 'graph'}.html"
    cut = len(records) == args.limit
    page = to_html(triples, args.entity, args.depth, limit=args.limit if cut else None)
    try:
        with open(out, "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from exc
    note = " (--limit reached: there may be more)" if cut else ""
    render.emit(f"wrote {out}: {len(triples):,} facts within {_hops(args.depth)} of {args.entity!r}{note}; "
                "open it in a browser")
    return 0


def cmd_fetch(args: Any) -> int:
    filters: dict[str, Any] = {}
    for key, value in args.filter or []:
        if key in filters and filters[key] != value:
            raise UsageError(f"--filter {key} is given twice with different values")
        filters[key] = value
    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait, read_only=True)
    records = graph.fetch_by_metadata(org_id=args.org, filters=filters)
    shown = records if args.limit is None else records[: args.limit]
    if args.json:
        render.emit(render.to_json(shown))
    elif not records:
        render.emit(f"no facts of organisation {args.org!r} match")
    else:
        # The organisation and the filtered values are the same on every row.
        known = {"org_id", *filters}
        render.print_table(["subject", "predicate", "object", "metadata"],
                           [(r["subject"], r["predicate"], r["object"],
                             render.summarise_metadata(r["metadata"], skip=known)) for r in shown])
        render.emit(f"{len(records):,} facts" + (f", {len(shown):,} shown" if len(shown) != len(records) else ""))
    return 0


def register(command: Callable[..., Any]) -> None:
    p = command("search", cmd_search, "find the facts closest in meaning to a query",
                "Find the facts closest in meaning to QUERY among those of one user in one\n"
                "organisation, best first, with their similarity scores.")
    p.add_argument("query", metavar="QUERY")
    p.add_argument("--user", required=True, metavar="U", help="the user whose facts are searched")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("-k", type=options.positive_int, default=5, metavar="N", help="how many facts (default 5)")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")

    walk_help = ("The walk covers the facts of one organisation (--org; --user narrows it to\n"
                 "one user's) and stops when a hop reaches no new fact, so a large --depth on\n"
                 "a graph with cycles costs no more than the organisation's facts.")
    p = command("neighbours", cmd_neighbours, "walk the graph outward from an entity",
                "List the facts within --depth hops of ENTITY: the facts naming it as subject\n"
                "or object, then onward from their objects. Each fact comes once, with the\n"
                "smallest hop that reaches it, ordered by hop (the table, the --json records\n"
                "with their \"hop\", and the pictures alike).\n" + walk_help + "\n\n"
                "--format dot writes Graphviz input:  kgraph neighbours X --org O --format dot | dot -Tsvg -o x.svg\n"
                "--format mermaid writes a Mermaid flowchart (paste it into Markdown).")
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--org", required=True, metavar="O", help="the organisation whose facts are walked")
    p.add_argument("--user", metavar="U", help="walk only this user's facts")
    p.add_argument("--depth", type=options.positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("--format", choices=("table", "json", "dot", "mermaid"), default="table",
                   help="output format (default: table)")
    p.add_argument("--json", action="store_true", help="same as --format json")
    p.add_argument("--limit", type=options.positive_int, metavar="N",
                   help="at most N facts (the nearest first)")

    p = command("view", cmd_view, "draw the neighbourhood of an entity as an interactive HTML page",
                "Write one self-contained HTML page (scripts and styles inside; it opens\n"
                "without network) showing the facts within --depth hops of ENTITY as a graph\n"
                "to drag and zoom: nodes are entities, edges are labelled with the predicate,\n"
                "ENTITY is highlighted, long names are cut (hover for more).\n" + walk_help)
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--org", required=True, metavar="O", help="the organisation whose facts are walked")
    p.add_argument("--user", metavar="U", help="walk only this user's facts")
    p.add_argument("--depth", type=options.positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("-o", "--output", metavar="FILE", help="the page to write (default: ENTITY.html)")
    p.add_argument("--limit", type=options.positive_int, default=500, metavar="N",
                   help="draw at most N facts, the nearest first (default 500; more is hard to read)")

    p = command("fetch", cmd_fetch, "list an organisation's facts whose metadata match filters",
                "List the facts of one organisation whose metadata hold every given value.\n\n"
                "--filter KEY=VALUE matches the text VALUE; --filter KEY:=JSON matches a typed\n"
                "value (lineno:=12, done:=true). Keys are top-level metadata keys made of\n"
                "letters, digits and underscores. Without filters every fact of the\n"
                "organisation is listed.")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("--filter", type=options.metadata_filter, action="append", metavar="KEY=VALUE",
                   help="a metadata condition (repeat for several; all must hold)")
    p.add_argument("--limit", type=options.positive_int, metavar="N", help="show at most N facts")
    p.add_argument("--json", action="store_true", help="print JSON (with the whole metadata)")
