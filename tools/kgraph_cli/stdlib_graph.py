"""A code knowledge graph of the running interpreter's standard library,
read with ``ast``: modules, what they import and define, class bases and
methods, each fact carrying the source of what it defines."""

from __future__ import annotations

import ast
import dataclasses
import os
import re
import sysconfig
import tokenize
from collections.abc import Iterator
from pathlib import Path
from typing import Any

USER_ID = "demo"
ORG_ID = "stdlib"

# Directory names never read: tests, the IDE, installed third-party packages,
# caches. Directories whose names are not identifiers (lib-dynload,
# config-3.13-...) are not packages and are skipped as well.
SKIP_DIRS = frozenset({"test", "tests", "idle_test", "idlelib", "turtledemo",
                       "site-packages", "dist-packages", "__pycache__"})
# Read first, so that a small --limit-modules still shows the package the
# demo's queries look at.
FIRST_PACKAGE = "json"

Fact = tuple[str, str, str, dict[str, Any]]

_LINE_RE = re.compile(r".*?(?:\r\n|\r|\n)|.+\Z", re.S)
_DEF_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)


@dataclasses.dataclass(frozen=True, slots=True)
class Module:
    name: str
    path: Path
    relpath: str
    is_package: bool


def stdlib_root() -> Path:
    return Path(sysconfig.get_paths()["stdlib"])


def find_modules(root: Path | None = None) -> list[Module]:
    """Every module of the library under ``root``, the demo's first package
    first, then by name."""
    root = stdlib_root() if root is None else root
    found: list[Module] = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = Path(dirpath).relative_to(root)
        dirnames[:] = sorted(d for d in dirnames if d not in SKIP_DIRS and d.isidentifier())
        if rel_dir.parts and not (Path(dirpath) / "__init__.py").is_file():
            dirnames[:] = []  # not a package: neither it nor anything below is importable
            continue
        for filename in filenames:
            stem, ext = os.path.splitext(filename)
            if ext != ".py" or not stem.isidentifier():
                continue
            parts = list(rel_dir.parts)
            is_package = stem == "__init__"
            if not is_package:
                parts.append(stem)
            if not parts:
                continue
            found.append(Module(".".join(parts), Path(dirpath) / filename,
                                (rel_dir / filename).as_posix(), is_package))
    found.sort(key=lambda m: (m.name.split(".")[0] != FIRST_PACKAGE, m.name))
    return found


def _segment(lines: list[str], node: ast.AST, start_line: int) -> str:
    """The source text of ``node`` from ``start_line`` (its first decorator or
    itself) to its end; column offsets are UTF-8 byte offsets."""
    first, last = start_line - 1, node.end_lineno - 1  # type: ignore[attr-defined]
    col, end_col = node.col_offset, node.end_col_offset  # type: ignore[attr-defined]
    if first == last:
        return lines[first].encode("utf-8")[col:end_col].decode("utf-8", "replace")
    head = lines[first].encode("utf-8")[col:].decode("utf-8", "replace")
    tail = lines[last].encode("utf-8")[:end_col].decode("utf-8", "replace")
    return head + "".join(lines[first + 1:last]) + tail


def _definitions(body: list[ast.stmt]) -> Iterator[ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef]:
    """Definitions at this level, including those inside if/try/with blocks
    (platform-dependent definitions are common in the library)."""
    for node in body:
        if isinstance(node, _DEF_NODES):
            yield node
        elif isinstance(node, ast.If):
            yield from _definitions(node.body)
            yield from _definitions(node.orelse)
        elif isinstance(node, ast.Try | ast.TryStar):
            for block in (node.body, node.orelse, node.finalbody, *(h.body for h in node.handlers)):
                yield from _definitions(block)
        elif isinstance(node, ast.With):
            yield from _definitions(node.body)


def _imported(module: Module, node: ast.Import | ast.ImportFrom) -> list[tuple[str, str, str]]:
    """(local name, imported module, what the local name stands for)."""
    out = []
    if isinstance(node, ast.Import):
        for alias in node.names:
            if alias.asname:
                out.append((alias.asname, alias.name, alias.name))
            else:
                head = alias.name.split(".")[0]
                out.append((head, alias.name, head))
        return out
    if node.level:
        package = module.name if module.is_package else module.name.rpartition(".")[0]
        parts = package.split(".") if package else []
        if node.level > 1:
            parts = parts[: len(parts) - (node.level - 1)]
        base = ".".join(parts + ([node.module] if node.module else []))
    else:
        base = node.module or ""
    for alias in node.names:
        if alias.name == "*":
            out.append(("", base, ""))
        elif node.module is None:
            # "from . import decoder": the name is a module of the package.
            target = f"{base}.{alias.name}" if base else alias.name
            out.append((alias.asname or alias.name, target, target))
        else:
            out.append((alias.asname or alias.name, base, f"{base}.{alias.name}"))
    return out


def _base_name(expr: ast.expr, module: str, local: set[str], aliases: dict[str, str]) -> str:
    if isinstance(expr, ast.Subscript):  # Generic[T], Protocol[...]
        expr = expr.value
    if isinstance(expr, ast.Name):
        if expr.id in local:
            return f"{module}.{expr.id}"
        return aliases.get(expr.id, expr.id)
    dotted = ast.unparse(expr)
    if isinstance(expr, ast.Attribute):
        head, _, rest = dotted.partition(".")
        if head in aliases:
            return f"{aliases[head]}.{rest}"
    return dotted


def module_facts(module: Module, source: str) -> list[Fact]:
    """The facts of one module. Raises SyntaxError (or ValueError) for a
    module that does not parse."""
    tree = ast.parse(source, filename=str(module.path))
    lines = _LINE_RE.findall(source)
    slice_id = module.name.split(".")[0]

    def meta(kind: str, lineno: int, **extra: Any) -> dict[str, Any]:
        return {"user_id": USER_ID, "org_id": ORG_ID, "graph_slice_id": slice_id, "module": module.name,
                "kind": kind, "path": module.relpath, "lineno": lineno, **extra}

    def documented(node: Any, md: dict[str, Any]) -> dict[str, Any]:
        doc = ast.get_docstring(node, clean=True)
        if doc:
            md["docstring"] = doc
        return md

    facts: list[Fact] = []
    if "." in module.name:
        facts.append((module.name, "part_of", module.name.rpartition(".")[0],
                      documented(tree, meta("module", 1))))

    aliases: dict[str, str] = {}
    imported: dict[str, int] = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import | ast.ImportFrom):
            for local_name, target, stands_for in _imported(module, node):
                if target and target != module.name:
                    imported.setdefault(target, node.lineno)
                if local_name and node.col_offset == 0:
                    aliases[local_name] = stands_for
    for target, lineno in imported.items():
        facts.append((module.name, "imports", target, meta("import", lineno)))

    definitions = list(_definitions(tree.body))
    local = {d.name for d in definitions}

    def define(owner: str, node: Any, kind: str) -> str:
        qualname = f"{owner}.{node.name}"
        start = node.decorator_list[0].lineno if node.decorator_list else node.lineno
        md = meta(kind, node.lineno, code_content=_segment(lines, node, start))
        facts.append((owner, "defines", qualname, documented(node, md)))
        return qualname

    for node in definitions:
        if isinstance(node, ast.ClassDef):
            qualname = define(module.name, node, "class")
            for base in node.bases:
                facts.append((qualname, "inherits", _base_name(base, module.name, local, aliases),
                              meta("inheritance", node.lineno)))
            for item in node.body:
                if isinstance(item, ast.FunctionDef | ast.AsyncFunctionDef):
                    define(qualname, item, "method")
        else:
            define(module.name, node, "function")
    return facts


def read_source(path: Path) -> str:
    with tokenize.open(path) as f:  # honours a coding declaration
        return f.read()


@dataclasses.dataclass
class Extraction:
    modules_read: int = 0
    modules_skipped: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    facts: int = 0


def iter_facts(modules: list[Module], stats: Extraction) -> Iterator[tuple[int, Module, Fact]]:
    """Yields (module index, module, fact); unreadable modules are recorded in
    ``stats`` and skipped."""
    for index, module in enumerate(modules, 1):
        try:
            facts = module_facts(module, read_source(module.path))
        except (SyntaxError, UnicodeDecodeError, ValueError, OSError) as exc:
            stats.modules_skipped.append((module.name, f"{type(exc).__name__}: {exc}"))
            continue
        stats.modules_read += 1
        for fact in facts:
            stats.facts += 1
            yield index, module, fact
