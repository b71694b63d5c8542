"""A fact whose upsert has returned survives the writer being killed."""

from __future__ import annotations

import json
import textwrap

from support import MODULE_NAME, lines_until_sigkill, run_python

ACKNOWLEDGED = 200
DEADLINE_S = 30


def test_every_acknowledged_fact_survives_sigkill(tmp_path):
    path = str(tmp_path / "store")
    writer_code = textwrap.dedent(f"""
        import itertools, sys
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        for i in itertools.count():
            fact_id = store.upsert_fact(
                f"subject {{i}}", "predicate", "object \\u00e9 " * (i % 7),
                {{"user_id": "u", "org_id": "o", "n": i, "pad": "x" * (i % 500)}},
            )
            sys.stdout.write(fact_id + "\\n")
            sys.stdout.flush()
    """)
    acknowledged = lines_until_sigkill(writer_code, cwd=tmp_path, deadline=DEADLINE_S,
                                       enough=lambda lines: len(lines) >= ACKNOWLEDGED)
    assert all(len(i) == 64 for i in acknowledged)

    reader = run_python(f"""
        import json, duckdb
        conn = duckdb.connect({path + "/kgraph.duckdb"!r}, read_only=True)
        print(json.dumps([r[0] for r in conn.execute("SELECT id FROM facts").fetchall()]))
    """, cwd=tmp_path, timeout=60)
    assert reader.returncode == 0, reader.stderr
    stored = set(json.loads(reader.stdout))
    missing = [i for i in acknowledged if i not in stored]
    assert missing == [], f"{len(missing)} of {len(acknowledged)} acknowledged facts lost"
    # The store itself starts on the file again and writes on.
    reopened = run_python(f"""
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        before = store.conn.execute("SELECT count(*) FROM facts").fetchone()[0]
        store.upsert_fact("after", "the", "crash", {{}})
        print(before, store.conn.execute("SELECT count(*) FROM facts").fetchone()[0])
    """, cwd=tmp_path, timeout=60)
    assert reopened.returncode == 0, reopened.stderr
    before, after = map(int, reopened.stdout.split())
    assert before >= len(acknowledged) and after == before + 1
