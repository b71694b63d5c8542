"""The companion modules' functions as a host and its type checker see them:
the signatures the binder enforces match the .pyi stubs shipped beside them,
and a store whose start-up has not succeeded is refused."""

from __future__ import annotations

import ast
import importlib
import inspect
from pathlib import Path

import pytest

from support import run_python

PACKAGE = "corvanta.kgraph.providers.duckdb_sqlite"
FUNCTIONS = {
    "bulk": ["upsert_facts"],
    "traversal": ["neighbourhood"],
    "retention": ["purge_expired", "delete_context", "reconcile"],
    "transactions": ["transaction"],
    "retrieval": ["context"],
}


def stub_parameters(module_name: str, function: str) -> list[tuple[str, str, object]]:
    module = importlib.import_module(f"{PACKAGE}.{module_name}")
    tree = ast.parse(Path(module.__file__).with_name(f"{module_name}.pyi").read_text())
    [node] = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == function]
    args = node.args
    positional = [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + \
        [ast.literal_eval(d) for d in args.defaults]
    keyword = [(a.arg, "KEYWORD_ONLY") for a in args.kwonlyargs]
    kw_defaults = [inspect.Parameter.empty if d is None else ast.literal_eval(d) for d in args.kw_defaults]
    return [(n, k, d) for (n, k), d in zip(positional + keyword, defaults + kw_defaults)]


@pytest.mark.parametrize(("module_name", "function"),
                         [(m, f) for m, functions in FUNCTIONS.items() for f in functions])
def test_signature_matches_the_stub(module_name, function):
    module = importlib.import_module(f"{PACKAGE}.{module_name}")
    signature = inspect.signature(getattr(module, function))
    runtime = [(p.name, p.kind.name, p.default) for p in signature.parameters.values()]
    assert runtime == stub_parameters(module_name, function)
    assert getattr(module, function).__doc__


def test_a_store_that_did_not_start_is_refused(tmp_path):
    proc = run_python(f"""
        from {PACKAGE}.duck_graph import DuckSqliteGraph
        from {PACKAGE} import bulk, retention, retrieval, traversal
        try:
            DuckSqliteGraph(None)
        except TypeError:
            pass
        graph = DuckSqliteGraph._instance
        calls = [lambda: bulk.upsert_facts(graph, []),
                 lambda: traversal.neighbourhood(graph, "a", org_id="o"),
                 lambda: retention.purge_expired(graph),
                 lambda: retention.delete_context(graph, org_id="o", graph_slice_id="s"),
                 lambda: retention.reconcile(graph),
                 lambda: retrieval.context(graph, "q", user_id="u", org_id="o")]
        for call in calls:
            try:
                call()
            except ValueError as e:
                print(e)
    """, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"{name}() needs a started DuckSqliteGraph: its start-up has not succeeded"
        for name in ["upsert_facts", "neighbourhood", "purge_expired", "delete_context", "reconcile", "context"]]
