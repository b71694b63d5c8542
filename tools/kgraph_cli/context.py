"""``context``: the facts that answer a question and the facts around them,
ready to read or to paste into a prompt."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from itertools import groupby
from typing import Any

from kgraph_cli import options, render
from kgraph_cli.store import graph_path, open_graph


def hops(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _score(value: Any) -> Any:
    return f"{value:.3f}" if isinstance(value, float) else value


def _heading(hop: int) -> str:
    return "hits" if hop == 0 else f"{hop} hop{'s' if hop != 1 else ''} from the hits"


def cmd_context(args: Any) -> int:
    from corvanta.kgraph.providers.duckdb_sqlite import retrieval

    graph = open_graph(graph_path(args), create=False, vectors=True, wait=args.wait)
    records = retrieval.context(graph, args.question, user_id=args.user, org_id=args.org, k=args.k,
                                depth=args.depth, limit=args.limit, scope=args.scope)
    if args.json:
        render.emit(render.to_json(records))
    elif args.format == "lines":
        for r in records:
            render.emit(" ".join(render.one_line(r[key]) for key in ("subject", "predicate", "object")))
    elif not records:
        render.emit(f"no facts of user {args.user!r} in organisation {args.org!r} answer the question")
    else:
        for hop, group in groupby(records, key=lambda r: r["hop"]):
            render.emit(_heading(hop))
            render.print_table(["score", "subject", "predicate", "object"],
                               [(_score(r["score"]), r["subject"], r["predicate"], r["object"]) for r in group])
        found = sum(1 for r in records if r["hop"] == 0)
        whose = f"user {args.user!r}" if args.scope == "user" else "any user"
        note = (f"{len(records):,} facts: {found:,} hit{'s' if found != 1 else ''}, {len(records) - found:,} of "
                f"{whose} in organisation {args.org!r} around them")
        if len(records) == args.limit:
            note += " (--limit reached: there may be more)"
        render.emit(note)
    return 0


def register(command: Callable[..., Any]) -> None:
    p = command("context", cmd_context, "the facts that answer a question, and the facts around them",
                "Find the facts closest in meaning to QUESTION among one user's in one\n"
                "organisation (the hits, as 'search' finds them; hits whose facts are gone\n"
                "are left out), then the facts around them: those naming a hit's subject or\n"
                "object, and onward from their objects up to --depth hops. Each fact comes\n"
                "once, at its smallest hop, with the best score of the hits it is reached\n"
                "from; ordered by hop, then score, best first.\n\n"
                "--scope org takes the facts around the hits from every user of the\n"
                "organisation. --format lines prints one 'subject predicate object' line per\n"
                "fact, ready to paste into a prompt.")
    p.add_argument("question", metavar="QUESTION")
    p.add_argument("--user", required=True, metavar="U", help="the user whose facts answer")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("-k", type=options.positive_int, default=5, metavar="N", help="how many hits (default 5)")
    p.add_argument("--depth", type=hops, default=1, metavar="N",
                   help="hops around the hits (default 1; 0 for the hits alone)")
    p.add_argument("--limit", type=options.positive_int, default=50, metavar="N",
                   help="at most N facts, hits included (default 50)")
    p.add_argument("--scope", choices=("user", "org"), default="user",
                   help="whose facts are around the hits: the user's (default) or the organisation's")
    p.add_argument("--format", choices=("table", "lines"), default="table", help="output format (default: table)")
    p.add_argument("--json", action="store_true", help="print JSON records instead")
