"""The kgraph tool's own figures: `kgraph demo` over the standard library,
`kgraph load` of synthetic facts, and the default vector store against its
previous version (bench/vector_store.py), each command timed from process
start to exit."""

from __future__ import annotations

import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import vector_store


def run(workdir: str, docs: int, repeat: int, demo_modules: int | None = None) -> dict[str, Any]:
    work = Path(workdir)
    argv = [sys.executable, "-m", "kgraph_cli", "demo", "--path", str(work / "demo")]
    if demo_modules is not None:
        argv += ["--limit-modules", str(demo_modules)]
    t = time.perf_counter()
    subprocess.run(argv, check=True, capture_output=True, env=vector_store.tool_env())
    demo = {"whole_s": time.perf_counter() - t, "whole_library": demo_modules is None,
            **json.loads((work / "demo" / "demo.json").read_text(encoding="utf-8"))}
    return {"demo": demo, **vector_store.compare(work, docs, repeat)}
