"""Running the kgraph tool in a subprocess, as a person or a scheduler would."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

TOOLS_DIR = Path(__file__).resolve().parents[2] / "tools"


def tool_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("KGRAPH_PATH", "CORVANTA_VECTORSTORE_DIR")}
    # The working tree's tool, whether or not the installed copy is current.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TOOLS_DIR), env.get("PYTHONPATH")]))
    env["COLUMNS"] = "200"
    env.update(extra)
    return env


class Run:
    def __init__(self, proc: subprocess.CompletedProcess[str]) -> None:
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr

    def json(self) -> Any:
        return json.loads(self.stdout)

    @property
    def error_lines(self) -> list[str]:
        return [line for line in self.stderr.splitlines() if line.strip()]

    def __repr__(self) -> str:
        return f"<Run rc={self.returncode}\n--- stdout\n{self.stdout}\n--- stderr\n{self.stderr}>"


def kgraph(*args: str | os.PathLike[str], cwd: str | os.PathLike[str], input: str | None = None,
           env: dict[str, str] | None = None, timeout: float = 120) -> Run:
    proc = subprocess.run([sys.executable, "-m", "kgraph_cli", *map(str, args)], cwd=cwd, input=input,
                          capture_output=True, text=True, timeout=timeout, env=env or tool_env())
    return Run(proc)


def write_jsonl(path: Path, records: list[Any]) -> Path:
    path.write_text("".join((r if isinstance(r, str) else json.dumps(r)) + "\n" for r in records),
                    encoding="utf-8")
    return path
