"""kgraph demo on a few modules, and the standard-library graph it builds."""

from __future__ import annotations

import ast
import re
import sys
import textwrap
from pathlib import Path

import pytest

from cli_support import TOOLS_DIR, kgraph

sys.path.insert(0, str(TOOLS_DIR))

from kgraph_cli import stdlib_graph  # noqa: E402


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("demo")
    first = kgraph("demo", "--limit-modules", "3", "--path", tmp / "g", cwd=tmp)
    return tmp, first


def test_demo_builds_and_runs_one_query_of_each_kind(demo):
    tmp, run = demo
    assert run.returncode == 0, run
    out = run.stdout
    assert "(3 modules)" in out and "read 3 modules (0 skipped)" in out
    shown = re.findall(rf"^\$ .* --path {re.escape(str(tmp / 'g'))} (\S+)", out, re.M)
    assert shown == ["search", "neighbours", "fetch", "stats", "purge", "delete-context"]
    assert "flowchart LR" in out                             # the neighbourhood picture
    assert "json.decoder.JSONDecoder" in out                 # found by search and by fetch
    assert "Try next" in out and f"--path {tmp / 'g'}" in out.split("Try next")[1]
    assert "Traceback" not in run.stderr


def test_the_demo_graph_serves_later_processes(demo):
    tmp, _ = demo
    found = kgraph("--path", tmp / "g", "search", "JSON decoder class", "--user", "demo", "--org", "stdlib",
                   "--json", cwd=tmp).json()
    assert found and all(r["subject"].startswith("json") for r in found)
    classes = kgraph("--path", tmp / "g", "fetch", "--org", "stdlib", "--filter", "kind=class",
                     "--json", cwd=tmp).json()
    decoder = next(r for r in classes if r["object"] == "json.decoder.JSONDecoder")
    md = decoder["metadata"]
    assert (md["user_id"], md["org_id"], md["graph_slice_id"], md["module"]) == ("demo", "stdlib", "json",
                                                                                 "json.decoder")
    assert md["code_content"].startswith("class JSONDecoder(object):")
    assert md["docstring"].startswith("Simple JSON")
    assert ast.parse(md["code_content"])  # the whole class, not a fragment


def test_running_the_demo_again_reuses_the_graph(demo):
    tmp, first = demo
    again = kgraph("demo", "--limit-modules", "3", "--path", tmp / "g", cwd=tmp)
    assert again.returncode == 0, again
    assert "Using the graph built earlier" in again.stdout and "read 3 modules" not in again.stdout
    rebuilt = kgraph("demo", "--limit-modules", "3", "--path", tmp / "g", "--rebuild", cwd=tmp)
    assert "read 3 modules" in rebuilt.stdout and "written " in rebuilt.stdout
    assert "replaced 0" in rebuilt.stdout.split("read 3 modules")[1].splitlines()[0]


@pytest.mark.parametrize("rebuild", [[], ["--rebuild"]])
def test_the_demo_never_touches_a_graph_with_facts_it_did_not_write(tmp_path, rebuild):
    """A demo graph that someone loaded their own facts into counts as theirs."""
    assert kgraph("--path", "g", "demo", "--limit-modules", "1", cwd=tmp_path).returncode == 0
    (tmp_path / "f.csv").write_text("subject,predicate,object\nmine,is,precious\n", encoding="utf-8")
    assert kgraph("--path", "g", "load", "f.csv", "--org", "acme", cwd=tmp_path).returncode == 0
    before = kgraph("--path", "g", "export", cwd=tmp_path).stdout
    run = kgraph("--path", "g", "demo", "--limit-modules", "2", *rebuild, cwd=tmp_path)
    assert run.returncode == 1 and "1 fact the demo did not write" in run.stderr, run
    assert kgraph("--path", "g", "export", cwd=tmp_path).stdout == before


def test_demo_default_path_is_beside_the_usual_graph(tmp_path):
    run = kgraph("demo", "--limit-modules", "1", cwd=tmp_path)
    assert run.returncode == 0, run
    assert (tmp_path / "kgraph-data" / "demo" / "kgraph.duckdb").is_file()


# ------------------------------------------------------- the extracted facts

SOURCE = textwrap.dedent('''\
    """The package."""
    import os.path
    import collections.abc as cabc
    from . import sibling
    from .. import uncle
    from .base import Base as B0, helper
    from typing import Generic, TypeVar

    T = TypeVar("T")

    class Local:
        pass

    class Thing(B0, Local, cabc.Mapping, Generic[T], metaclass=type):
        """A thing."""

        @property
        def name(self):
            return "é"  # non-ASCII before the end column

        async def fetch(self): ...

    if os.name == "nt":
        def platform_only():
            import json
    else:
        def platform_only():
            pass

    def outer():
        def inner():
            pass
''')


@pytest.fixture(scope="module")
def facts(tmp_path_factory):
    path = tmp_path_factory.mktemp("pkg") / "__init__.py"
    path.write_text(SOURCE, encoding="utf-8")
    module = stdlib_graph.Module("top.pkg", path, "top/pkg/__init__.py", is_package=True)
    return stdlib_graph.module_facts(module, SOURCE)


def objects(facts, subject, predicate):
    return [o for s, p, o, _ in facts if s == subject and p == predicate]


def test_imports_are_resolved_to_absolute_modules(facts):
    assert sorted(objects(facts, "top.pkg", "imports")) == sorted(
        ["os.path", "collections.abc", "top.pkg.sibling", "top.uncle", "top.pkg.base", "typing", "json"])


def test_bases_resolve_through_imports_and_local_definitions(facts):
    assert objects(facts, "top.pkg.Thing", "inherits") == [
        "top.pkg.base.Base", "top.pkg.Local", "collections.abc.Mapping", "typing.Generic"]


def test_definitions_methods_and_platform_variants(facts):
    assert objects(facts, "top.pkg", "defines") == [
        "top.pkg.Local", "top.pkg.Thing", "top.pkg.platform_only", "top.pkg.platform_only", "top.pkg.outer"]
    assert objects(facts, "top.pkg.Thing", "defines") == ["top.pkg.Thing.name", "top.pkg.Thing.fetch"]
    assert objects(facts, "top", "part_of") == [] and objects(facts, "top.pkg", "part_of") == ["top"]


def test_code_content_and_docstrings(facts):
    md = {o: m for s, p, o, m in facts if p == "defines"}
    assert md["top.pkg.Thing.name"]["code_content"] == '@property\n    def name(self):\n        return "é"'
    assert md["top.pkg.Thing"]["docstring"] == "A thing."
    assert "docstring" not in md["top.pkg.Local"]
    assert md["top.pkg.Thing"]["code_content"].startswith("class Thing(") \
        and md["top.pkg.Thing"]["code_content"].endswith("async def fetch(self): ...")
    assert {m["graph_slice_id"] for _, _, _, m in facts} == {"top"}
    assert all((m["user_id"], m["org_id"]) == ("demo", "stdlib") for _, _, _, m in facts)


def test_the_library_listing_skips_tests_and_puts_json_first():
    modules = stdlib_graph.find_modules()
    names = [m.name for m in modules]
    assert names[0] == "json" and len(names) == len(set(names)) > 300
    assert not [n for n in names if n.split(".")[0] in {"test", "idlelib"} or ".test" in n or "site-packages" in n]
    assert all(Path(m.path).suffix == ".py" for m in modules)
