"""Smoke run of the benchmark suite: `bench/run.py --quick` must run to the
end and write the report it prints. Its figures are not checked here."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    output = tmp_path_factory.mktemp("bench") / "nested" / "benchmarks.md"
    proc = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--output", str(output)],
        # Generous: the sanitizer build runs it several times slower.
        cwd=ROOT, capture_output=True, text=True, timeout=900,
    )
    return proc, output


def test_quick_run_exits_cleanly_and_writes_what_it_prints(quick_run):
    proc, output = quick_run
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert output.read_text(encoding="utf-8").strip() == proc.stdout.strip()


@pytest.mark.parametrize("heading", [
    "## 1. Overhead over the floor",
    "## 2. Scale",
    "## 3. Memory",
    "## 4. Clamping",
    "## 5. The default stand-in vector store",
    "## 6. Batch upsert",
    "## 7. The kgraph tool and the default vector store",
    "## 8. Companion modules: traversal and retention",
    "## 9. Retrieval: context against search plus neighbourhood",
])
def test_report_has_every_section_with_a_table(quick_run, heading):
    proc, _ = quick_run
    section = proc.stdout.split(heading, 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("|") and not line.startswith("|---")]
    assert len(rows) >= 2, section  # a header and at least one measured row


@pytest.mark.parametrize("row", ["| CPU |", "| cores |", "| RAM |", "| Python |", "| DuckDB |", "| date (UTC) |"])
def test_report_names_the_machine_and_versions(quick_run, row):
    proc, _ = quick_run
    assert row in proc.stdout


def test_clamping_results_agree_with_the_plain_rendition(quick_run):
    proc, _ = quick_run
    section = proc.stdout.split("## 4. Clamping", 1)[1].split("\n## ", 1)[0]
    header, _, values = [line for line in section.splitlines() if line.startswith("|")][:3]
    cells = dict(zip((c.strip() for c in header.split("|")), (c.strip() for c in values.split("|"))))
    assert cells["results equal"] == "yes"


def test_unknown_section_is_refused(tmp_path):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--sections", "overhead,bogus",
         "--output", str(tmp_path / "b.md")],
        cwd=ROOT, capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 2
    assert "bogus" in proc.stderr
    assert not (tmp_path / "b.md").exists()


def _report(date: str, sections: dict[str, str], misses: list[str]) -> str:
    body = "".join(f"## {heading}\n\n{text}\n\n" for heading, text in sections.items())
    goals = "## Goals missed in this run\n\n" + "".join(f"- {m}\n" for m in misses) if misses else "## Goals\n\nNone."
    return f"# Benchmarks\n\n| date (UTC) | {date} |\n\n{body}{goals}\n"


def test_a_partial_run_keeps_the_other_sections_and_the_goals_they_missed():
    module_spec = importlib.util.spec_from_file_location("bench_run", ROOT / "bench" / "run.py")
    run = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(run)
    first = _report("day 1", {"1. One": "one, day 1", "2. Two": "two, day 1"},
                    ["one slow (section 1)", "two slow (section 2)", "untagged"])
    second = run.keep_earlier_sections(_report("day 2", {"2. Two": "two, day 2"}, []), first)
    assert second.count("## 1. One") == 1 and "two, day 2" in second and "two, day 1" not in second
    assert run._misses(second) == ["one slow (section 1, from the run of day 1)"]
    # Kept again by a third run, a miss still names the run that measured it.
    third = run.keep_earlier_sections(_report("day 3", {"2. Two": "two, day 3"}, ["two slow (section 2)"]), second)
    assert run._misses(third) == ["one slow (section 1, from the run of day 1)", "two slow (section 2)"]
    assert third.index("## 1. One") < third.index("## 2. Two") < third.index("## Goals")
