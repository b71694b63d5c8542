"""Writing a fact again replaces its row in every column, the indexed ones
(user_id, org_id, created_at) included, in the running process and in the
database file as a later process finds it."""

from __future__ import annotations

import json
import textwrap
import time

from support import MODULE_NAME, run_python


def compact(value) -> str:
    return json.dumps(value, separators=(",", ":"))


def test_second_write_moves_created_at_and_replaces_metadata(store):
    first = store.upsert_fact("s", "p", "o", {"user_id": "u", "org_id": "g", "v": 1})
    [(created_1,)] = store.conn.execute("SELECT created_at FROM facts").fetchall()
    time.sleep(0.01)
    second = store.upsert_fact("s", "p", "o", {"user_id": "u", "org_id": "g", "v": 2, "extra": "\u00e9"})
    assert first == second
    [row] = store.conn.execute("SELECT id, created_at, metadata FROM facts").fetchall()
    assert row[0] == first
    assert row[1] > created_1
    assert row[2] == compact({"user_id": "u", "org_id": "g", "v": 2, "extra": "\u00e9"})
    # Lookups that can go through the (org_id, created_at) index see the new stamp only.
    by_new = store.conn.execute(
        "SELECT id FROM facts WHERE org_id = ? AND created_at = ?", ["g", row[1]]).fetchall()
    by_old = store.conn.execute(
        "SELECT id FROM facts WHERE org_id = ? AND created_at = ?", ["g", created_1]).fetchall()
    assert by_new == [(first,)] and by_old == []


_CHECK = """
    def state(conn):
        rows = conn.execute(
            "SELECT id, subject, predicate, obj, user_id, org_id, CAST(created_at AS VARCHAR), metadata "
            "FROM facts").fetchall()
        by_index = {
            f"{u}/{o}": conn.execute(
                "SELECT count(*) FROM facts WHERE user_id = ? AND org_id = ?", [u, o]).fetchone()[0]
            for u, o in [("", ""), ("u", ""), ("", "u")]
        }
        return {"rows": [list(r) for r in rows], "by_index": by_index}
"""


def _run(code: str, cwd) -> dict:
    proc = run_python(textwrap.dedent(_CHECK) + textwrap.dedent(code), cwd=cwd, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_replacement_holds_in_the_file_after_reopening(tmp_path):
    path = str(tmp_path / "db")
    # Writes 1 and 2 replace a row not yet checkpointed, write 3 one that is.
    first = _run(f"""
        import json, time
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        out = {{}}
        out["id1"] = store.upsert_fact("s", "p", "cu", {{"v": 1}})
        time.sleep(0.01)
        out["id2"] = store.upsert_fact("s", "p", "c", {{"user_id": "u", "v": 2}})
        out["after2"] = state(store.conn)
        store.conn.execute("CHECKPOINT")
        time.sleep(0.01)
        out["id3"] = store.upsert_fact("s", "p", "c", {{"org_id": "u", "v": 3}})
        out["after3"] = state(store.conn)
        print(json.dumps(out))
    """, tmp_path)
    fact_id = first["id1"]
    assert first["id2"] == first["id3"] == fact_id
    [row2] = first["after2"]["rows"]
    assert row2[:6] == [fact_id, "s", "p", "c", "u", ""] and row2[7] == compact({"user_id": "u", "v": 2})
    assert first["after2"]["by_index"] == {"/": 0, "u/": 1, "/u": 0}
    [row3] = first["after3"]["rows"]
    assert row3[:6] == [fact_id, "s", "p", "c", "", "u"] and row3[7] == compact({"org_id": "u", "v": 3})
    assert row3[6] > row2[6]
    assert first["after3"]["by_index"] == {"/": 0, "u/": 0, "/u": 1}

    # A fresh process finds write 3, then replaces the row it loaded from the file.
    second = _run(f"""
        import json, time
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        out = {{"reopened": state(store.conn)}}
        time.sleep(0.01)
        out["id4"] = store.upsert_fact("s", "p", "cu", {{"v": 4}})
        out["after4"] = state(store.conn)
        print(json.dumps(out))
    """, tmp_path)
    assert second["reopened"] == first["after3"]
    assert second["id4"] == fact_id
    [row4] = second["after4"]["rows"]
    assert row4[:6] == [fact_id, "s", "p", "cu", "", ""] and row4[7] == compact({"v": 4})
    assert row4[6] > row3[6]

    # The file itself, opened read-only by the database client alone.
    third = _run(f"""
        import json, duckdb
        conn = duckdb.connect({path + "/kgraph.duckdb"!r}, read_only=True)
        print(json.dumps(state(conn)))
    """, tmp_path)
    assert third == second["after4"]
    assert third["by_index"] == {"/": 1, "u/": 0, "/u": 0}
