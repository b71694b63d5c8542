"""Probe: what one raw DuckDB connection does when 8 threads use it at once.

This is not a test. It shows why the store serialises its work on `conn`:
the same kinds of statements the store issues (INSERT OR REPLACE, the
recursive walk, the JSON filter SELECT, the DELETE with its count) are run
from 8 threads on ONE connection with no lock, in a child process, and the
outcome of each run is reported:

  crashed  - the child died from a signal (negative return code)
  raised   - statements raised (counted by exception type and message)
  wrong    - statements returned rows other than the ones expected
  clean    - none of the above

Usage:  python tests/concurrency_probe.py [runs] [ops_per_thread] [threads]
(with threads 1 every run is clean: the expectations themselves are right)
"""

from __future__ import annotations

import collections
import json
import subprocess
import sys
import tempfile
import threading
import time

THREADS = int(sys.argv[3]) if len(sys.argv) > 3 else 8

SCHEMA = """
CREATE TABLE IF NOT EXISTS facts (
    id TEXT PRIMARY KEY, subject TEXT, predicate TEXT, obj TEXT,
    user_id TEXT, org_id TEXT, created_at TIMESTAMP DEFAULT current_timestamp, metadata JSON)
"""
INSERT = "INSERT OR REPLACE INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)"
WALK = """
WITH RECURSIVE hop(n, s, p, o) AS (
    SELECT 1, subject, predicate, obj FROM facts WHERE subject = ? OR obj = ?
    UNION ALL
    SELECT n + 1, f.subject, f.predicate, f.obj FROM facts f JOIN hop h ON f.subject = h.o WHERE n < ?
) SELECT s, p, o FROM hop
"""
FETCH = ("SELECT subject, predicate, obj, metadata FROM facts "
         "WHERE org_id = ? AND json_extract(metadata, ?) = to_json(?)")
DELETE = "DELETE FROM facts WHERE org_id = ? AND json_extract(metadata, '$.graph_slice_id') = to_json(?)"


def child(ops: int) -> None:
    import duckdb

    conn = duckdb.connect(tempfile.mkdtemp() + "/probe.duckdb")
    conn.execute(SCHEMA)
    errors: collections.Counter[str] = collections.Counter()
    wrong = [0]
    samples: list[str] = []

    def mismatch(what: str, got: object, expected: object) -> None:
        wrong[0] += 1
        if len(samples) < 3:
            samples.append(f"{what}: expected {str(expected)[:80]}, got {str(got)[:80]}")
    start = threading.Barrier(THREADS)

    def work(n: int) -> None:
        org, kept, private = f"org{n % 4}", f"kept-{n}", f"private-{n}"
        written: list[tuple[str, str, str]] = []
        private_count = 0
        start.wait()
        for i in range(ops):
            try:
                kind = i % 6
                if kind in (0, 1):
                    s, o = f"t{n}-s{i}", f"t{n}-o{i}"
                    slice_id = private if kind == 1 else kept
                    meta = json.dumps({"org_id": org, "graph_slice_id": slice_id}, separators=(",", ":"))
                    conn.execute(INSERT, [f"{n}-{i}", s, "rel", o, "u", org, meta])
                    if kind == 1:
                        private_count += 1
                    else:
                        written.append((s, "rel", o))
                elif kind == 2 and written:
                    s, p, o = written[i % len(written)]
                    rows = conn.execute(WALK, [s, s, 2]).fetchall()
                    if rows != [(s, p, o)]:
                        mismatch("walk", rows, [(s, p, o)])
                elif kind == 3:
                    rows = conn.execute(FETCH, [org, "$.graph_slice_id", kept]).fetchall()
                    if {r[:3] for r in rows} != set(written) or len(rows) != len(written):
                        mismatch("fetch", f"{len(rows)} rows {rows[:1]}", f"{len(written)} rows")
                elif kind == 4 and i % 60 == 4:
                    rows = conn.execute(DELETE, [org, private]).fetchall()
                    if rows != [(private_count,)]:
                        mismatch("delete", rows, [(private_count,)])
                    private_count = 0
                else:
                    conn.execute("SELECT count(*) FROM facts WHERE org_id = ?", [org]).fetchall()
            except Exception as exc:  # noqa: BLE001 - counted and reported
                errors[f"{type(exc).__name__}: {str(exc).splitlines()[0][:100]}"] += 1

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps({"errors": dict(errors), "wrong": wrong[0], "samples": samples}))


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    ops = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    for run in range(1, runs + 1):
        t0 = time.monotonic()
        try:
            proc = subprocess.run([sys.executable, __file__, "--child", str(ops), str(THREADS)],
                                  capture_output=True, text=True, timeout=300)
        except subprocess.TimeoutExpired:
            print(f"run {run}: hung (no answer within 300 s)")
            continue
        took = time.monotonic() - t0
        if proc.returncode < 0:
            print(f"run {run}: crashed with signal {-proc.returncode} after {took:.1f}s")
            tail = proc.stderr.strip().splitlines()[-3:]
            for line in tail:
                print(f"    {line}")
            continue
        if proc.returncode != 0:
            print(f"run {run}: exited {proc.returncode}: {proc.stderr.strip()[-300:]}")
            continue
        report = json.loads(proc.stdout.strip().splitlines()[-1])
        if not report["errors"] and not report["wrong"]:
            print(f"run {run}: clean in {took:.1f}s")
            continue
        print(f"run {run}: {sum(report['errors'].values())} raised, {report['wrong']} wrong results in {took:.1f}s")
        for message, count in sorted(report["errors"].items(), key=lambda kv: -kv[1])[:5]:
            print(f"    {count} x {message}")
        for sample in report["samples"]:
            print(f"    wrong {sample}")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(int(sys.argv[2]))
    else:
        main()
