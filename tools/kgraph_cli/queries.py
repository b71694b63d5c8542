"""The store's questions: ``search``, ``neighbours``, ``view`` and ``fetch``."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from kgraph_cli import options, render
from kgraph_cli.store import CommandError, UsageError, graph_path, open_graph


def cmd_search(args: Any) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=True, wait=args.wait)
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


def cmd_neighbours(args: Any) -> int:
    fmt = "json" if args.json else args.format
    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait)
    records = graph.get_neighbours(args.entity, depth=args.depth)
    if fmt == "json":
        render.emit(render.to_json(records if args.limit is None else records[: args.limit]))
        return 0
    triples = render.distinct_triples(records)
    shown = triples if args.limit is None else triples[: args.limit]
    if fmt == "dot":
        render.emit(render.to_dot(shown, args.entity))
    elif fmt == "mermaid":
        render.emit(render.to_mermaid(shown, args.entity))
    elif not records:
        render.emit(f"no facts mention {args.entity!r}")
    else:
        render.print_table(["subject", "predicate", "object"], shown)
        note = f"{len(triples):,} facts within {args.depth} hop{'s' if args.depth != 1 else ''}"
        if len(records) != len(triples):
            note += f" ({len(records):,} paths)"
        if len(shown) != len(triples):
            note += f", {len(shown):,} shown"
        render.emit(note)
    return 0


def cmd_view(args: Any) -> int:
    from kgraph_cli.view import to_html

    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait)
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
    render.emit(f"wrote {out}: {len(shown):,} facts within {args.depth} hop{'s' if args.depth != 1 else ''} "
                f"of {args.entity!r}{note}; open it in a browser")
    return 0


def cmd_fetch(args: Any) -> int:
    filters: dict[str, Any] = {}
    for key, value in args.filter or []:
        if key in filters and filters[key] != value:
            raise UsageError(f"--filter {key} is given twice with different values")
        filters[key] = value
    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait)
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

    p = command("neighbours", cmd_neighbours, "walk the graph outward from an entity",
                "List the facts within --depth hops of ENTITY: the facts naming it as subject\n"
                "or object, then onward from their objects. The table and the pictures show\n"
                "each fact once; --json gives the store's answer as it is (one record per\n"
                "path, so a fact reached over several paths repeats).\n\n"
                "--format dot writes Graphviz input:  kgraph neighbours X --format dot | dot -Tsvg -o x.svg\n"
                "--format mermaid writes a Mermaid flowchart (paste it into Markdown).")
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--depth", type=options.positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("--format", choices=("table", "json", "dot", "mermaid"), default="table",
                   help="output format (default: table)")
    p.add_argument("--json", action="store_true", help="same as --format json")
    p.add_argument("--limit", type=options.positive_int, metavar="N", help="show at most N facts")

    p = command("view", cmd_view, "draw the neighbourhood of an entity as an interactive HTML page",
                "Write one self-contained HTML page (scripts and styles inside; it opens\n"
                "without network) showing the facts within --depth hops of ENTITY as a graph\n"
                "to drag and zoom: nodes are entities, edges are labelled with the predicate,\n"
                "ENTITY is highlighted, long names are cut (hover for more).")
    p.add_argument("entity", metavar="ENTITY")
    p.add_argument("--depth", type=options.positive_int, default=2, metavar="N", help="hops to walk (default 2)")
    p.add_argument("-o", "--output", metavar="FILE", help="the page to write (default: ENTITY.html)")
    p.add_argument("--limit", type=options.positive_int, default=500, metavar="N",
                   help="draw at most N facts (default 500; more is hard to read)")

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
