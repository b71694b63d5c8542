"""Writing a fact again replaces its metadata and moves its created_at (an
indexed column), in the running process and in the database file as a later
process finds it; another fact with the same id never replaces it."""

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
    # Write 2 replaces a row not yet checkpointed, write 4 one that is; the
    # other fact with the same id (write 3) is refused either side.
    first = _run(f"""
        import json, time
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        out = {{}}
        out["id1"] = store.upsert_fact("s", "p", "c", {{"user_id": "u", "v": 1}})
        time.sleep(0.01)
        out["id2"] = store.upsert_fact("s", "p", "c", {{"user_id": "u", "v": 2}})
        out["after2"] = state(store.conn)
        store.conn.execute("CHECKPOINT")
        try:
            store.upsert_fact("s", "p", "cu", {{"v": 3}})
        except ValueError as error:
            out["refused3"] = str(error)
        time.sleep(0.01)
        out["id4"] = store.upsert_fact("s", "p", "c", {{"user_id": "u", "v": 4}})
        out["after4"] = state(store.conn)
        print(json.dumps(out))
    """, tmp_path)
    fact_id = first["id1"]
    assert first["id2"] == first["id4"] == fact_id
    assert first["refused3"].startswith(f"id {fact_id[:12]} is stored for another fact")
    [row2] = first["after2"]["rows"]
    assert row2[:6] == [fact_id, "s", "p", "c", "u", ""] and row2[7] == compact({"user_id": "u", "v": 2})
    [row4] = first["after4"]["rows"]
    assert row4[:6] == row2[:6] and row4[7] == compact({"user_id": "u", "v": 4}) and row4[6] > row2[6]
    assert first["after4"]["by_index"] == {"/": 0, "u/": 1, "/u": 0}

    # A fresh process finds write 4, refuses the other fact again and
    # replaces the row it loaded from the file.
    second = _run(f"""
        import json, time
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({path!r})
        out = {{"reopened": state(store.conn)}}
        try:
            store.upsert_fact("s", "p", "c", {{"org_id": "u", "v": 5}})
        except ValueError:
            out["refused5"] = True
        time.sleep(0.01)
        out["id6"] = store.upsert_fact("s", "p", "c", {{"user_id": "u", "v": 6}})
        out["after6"] = state(store.conn)
        print(json.dumps(out))
    """, tmp_path)
    assert second["reopened"] == first["after4"]
    assert second["refused5"] and second["id6"] == fact_id
    [row6] = second["after6"]["rows"]
    assert row6[7] == compact({"user_id": "u", "v": 6}) and row6[6] > row4[6]

    # The file itself, opened read-only by the database client alone.
    third = _run(f"""
        import json, duckdb
        conn = duckdb.connect({path + "/kgraph.duckdb"!r}, read_only=True)
        print(json.dumps(state(conn)))
    """, tmp_path)
    assert third == second["after6"]
