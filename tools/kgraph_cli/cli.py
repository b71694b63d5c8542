"""The ``kgraph`` command line: the parser (each group of commands adds its
own), and the one place where failures become a single line on standard
error and an exit status."""

from __future__ import annotations

import argparse
import logging
import os
import select
import sys
import traceback
from collections.abc import Sequence
from typing import Any

from kgraph_cli import __version__, archive, context, deletions, health, interrupts, loading, options, queries, repair
from kgraph_cli.store import (DEFAULT_PATH, PATH_ENV, STORE_MODULE, CommandError, UsageError, damaged_message,
                              is_damaged)

DESCRIPTION = f"""\
Fill, query, check and repair a knowledge-graph store (a DuckDB file plus a
vector store kept beside it) without writing a host application.

The graph lives in a directory: --path DIR, else ${PATH_ENV}, else
{DEFAULT_PATH} ('~' is expanded in both). It holds kgraph.duckdb (the facts)
and vectors/ (the documents that 'search' ranks; they persist, so a search in
a later run finds what an earlier load wrote). Commands that only read (search,
neighbours, view, fetch, stats, check, export, backup, dry runs) open it
read-only: they work on read-only media and side by side. A command that
writes holds the graph alone; --wait SECONDS waits for it to finish.
"""

EPILOG = """\
exit status: 0 success, 1 failure (including a load with refused lines and a
check that found damage), 2 bad usage, 130 and 143 after Ctrl-C and SIGTERM.

examples:
  kgraph demo                      # a graph of the standard library
  kgraph load facts.jsonl --org acme
  kgraph search "who maintains the parser" --user alice --org acme
  kgraph neighbours parser --org acme --depth 2 --format dot | dot -Tsvg -o parser.svg
  kgraph fetch --org acme --filter graph_slice_id=project-x
  kgraph --wait 600 purge --days 90   # e.g. nightly from cron
  kgraph check && kgraph backup /srv/backups/kg-$(date +%F)
"""

COMMAND_GROUPS = (loading, queries, context, deletions, health, repair, archive)


class ArgumentParser(argparse.ArgumentParser):
    """Reports a usage error as one line (exit status 2)."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _global_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--path", metavar="DIR", type=options.text, default=default(None),
                        help=f"the graph's directory (default: ${PATH_ENV}, else {DEFAULT_PATH})")
    parser.add_argument("--wait", metavar="SECONDS", type=options.seconds, default=default(0.0),
                        help="wait up to SECONDS for another process that holds the graph (default: fail at "
                             "once). Commands that only read share a graph with each other, but while a "
                             "command writes it nothing can read it: to read a graph that is written "
                             "for long, read a copy that 'kgraph backup' took between the writes")
    parser.add_argument("-v", "--verbose", action="count", default=default(0),
                        help="log the store's messages (-v: info, -vv: debug and tracebacks)")


def cmd_demo(args: argparse.Namespace) -> int:
    from kgraph_cli.demo import run_demo

    return run_demo(args, build_parser(), dispatch)


def build_parser() -> ArgumentParser:
    # The global options are accepted before or after the command; SUPPRESS
    # keeps a value given before the command when none is given after it.
    common = ArgumentParser(add_help=False)
    _global_options(common, lambda value: argparse.SUPPRESS)

    parser = ArgumentParser(prog="kgraph", description=DESCRIPTION, epilog=EPILOG,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    _global_options(parser, lambda value: value)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, func: Any, help_text: str, description: str | None = None) -> ArgumentParser:
        p = sub.add_parser(name, parents=[common], help=help_text, description=description or help_text,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.set_defaults(func=func)
        return p

    for group in COMMAND_GROUPS:
        group.register(command)

    p = command("demo", cmd_demo, "build a code graph of the standard library and query it",
                "Read the standard library of this interpreter with the ast module, store\n"
                "what each module imports and defines (with the source of every function and\n"
                "class as metadata), then run one query of each kind and say what to try next.\n\n"
                "Default --path: the usual graph directory plus /demo (./kgraph-data/demo),\n"
                "so the demo never mixes with your own facts. It writes only into a graph\n"
                "that holds nothing but its own facts (those of user 'demo' in organisation\n"
                "'stdlib'): a --path whose graph holds any other fact is refused, and\n"
                "--rebuild deletes a graph only when it holds nothing else. A graph the demo\n"
                "built earlier for the same interpreter and module count is reused;\n"
                "--rebuild starts afresh.")
    p.add_argument("--limit-modules", type=options.positive_int, metavar="N",
                   help="read only the first N modules (the json package comes first)")
    p.add_argument("--rebuild", action="store_true",
                   help="delete the demo graph (only if it holds nothing but the demo's facts) and build it again")
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
    # Quiet by default: only errors (a vector store that fails, say), and the
    # vector store's warnings about damage it found in its files.
    root.setLevel(logging.ERROR if verbosity <= 0 else logging.INFO if verbosity == 1 else logging.DEBUG)
    logging.getLogger(STORE_MODULE).setLevel(logging.NOTSET)
    for name in ("corvanta.vectorstores", "kgraph_cli"):
        logging.getLogger(name).setLevel(logging.WARNING if verbosity <= 0 else logging.NOTSET)


def dispatch(args: argparse.Namespace) -> int:
    return args.func(args)


def _fail(message: str, status: int) -> int:
    message = " ".join(str(message).split()) or "failed"
    print(f"kgraph: error: {message}", file=sys.stderr, flush=True)
    return status


def _stdout_gone() -> bool:
    """Whether the reader of standard output went away (| head)."""
    try:
        poll = select.poll()
        poll.register(sys.stdout.fileno(), select.POLLOUT)
        return any(events & (select.POLLERR | select.POLLHUP) for _, events in poll.poll(0))
    except (OSError, ValueError):
        return False


def _quiet_stdout() -> None:
    """Nothing more goes to standard output, and the interpreter's last flush
    must not fail either."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    interrupts.install()
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
    except BrokenPipeError:
        # The reader went away (| head): not an error of ours. A command whose
        # standard error went away did not finish, though.
        gone = _stdout_gone()
        _quiet_stdout()
        return 0 if gone else 1
    except BaseException as exc:
        if interrupts.is_interrupt(exc):
            print(f"kgraph: interrupted by {interrupts.name()}", file=sys.stderr, flush=True)
            return interrupts.status()
        if not isinstance(exc, Exception):
            raise
        if verbosity >= 2:
            traceback.print_exc()
        if is_damaged(str(exc)):
            return _fail(damaged_message(str(exc)), 1)
        kind = type(exc).__name__
        return _fail(f"{kind}: {exc}" if type(exc).__module__.split(".")[0] in ("duckdb", "_duckdb")
                     else str(exc) or kind, 1)
