"""Expiry purge: facts written before now - days go, across the whole table.
The clock is frozen by replacing the module's `datetime`."""

from __future__ import annotations

import datetime as dt
import decimal
import logging

import pytest

from support import MODULE_NAME

PURGE_LINE = "Purging facts older than %d days"
NOW = dt.datetime(2030, 6, 15, 12, 0, 0, 123456, tzinfo=dt.timezone.utc)
NAIVE_NOW = NOW.replace(tzinfo=None)


class RecordingConn:
    def __init__(self, real):
        self.real = real
        self.statements = []

    def execute(self, sql, params=None):
        self.statements.append((sql, params))
        return self.real.execute(sql) if params is None else self.real.execute(sql, params)


@pytest.fixture
def utc_session(store):
    """created_at is stored without a zone; make the engine read it as UTC."""
    [(zone,)] = store.conn.execute("SELECT current_setting('TimeZone')").fetchall()
    store.conn.execute("SET TimeZone = 'UTC'")
    yield
    store.conn.execute(f"SET TimeZone = '{zone}'")


@pytest.fixture
def frozen(module, monkeypatch, utc_session):
    zones_asked = []

    class Frozen(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            zones_asked.append(tz)
            return NOW if tz is None else NOW.astimezone(tz)

    monkeypatch.setattr(module, "datetime", Frozen)
    return zones_asked


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


def purge_lines(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME and r.msg == PURGE_LINE]


def write_aged(store, ages, org="o1", user="u1"):
    """One fact per entry of `ages` (name -> timedelta before NOW, or None for
    a NULL created_at); returns name -> id."""
    ids = {}
    for name, age in ages.items():
        fact_id = store.upsert_fact(name, "is", "aged", {"user_id": user, "org_id": org})
        created = None if age is None else NAIVE_NOW - age
        store.conn.execute("UPDATE facts SET created_at = ? WHERE id = ?", [created, fact_id])
        ids[name] = fact_id
    return ids


def survivors(store):
    return sorted(row[0] for row in store.conn.execute("SELECT subject FROM facts").fetchall())


US = dt.timedelta(microseconds=1)


@pytest.mark.parametrize(
    ("days", "ages", "kept"),
    [
        # strict: exactly at the cutoff survives, a microsecond older goes
        (30, {"at": dt.timedelta(days=30), "older": dt.timedelta(days=30) + US,
              "newer": dt.timedelta(days=30) - US}, ["at", "newer"]),
        (0, {"at": dt.timedelta(0), "older": US, "future": -US}, ["at", "future"]),
        (1, {"old": dt.timedelta(days=400), "day": dt.timedelta(hours=25), "hour": dt.timedelta(hours=1)}, ["hour"]),
        # a negative count puts the cutoff in the future
        (-1, {"now": dt.timedelta(0), "tomorrow-ish": -dt.timedelta(hours=23), "later": -dt.timedelta(days=2),
              "cutoff": -dt.timedelta(days=1)}, ["cutoff", "later"]),
        (-36500, {"old": dt.timedelta(days=10), "far": -dt.timedelta(days=36499)}, []),
        # a NULL created_at is never deleted
        (-36500, {"null": None, "old": dt.timedelta(days=1)}, ["null"]),
        (90, {"null": None}, ["null"]),
    ],
)
def test_cutoff_is_strict_and_relative_to_now(store, frozen, days, ages, kept):
    write_aged(store, ages)
    store.purge_expired(days)
    assert survivors(store) == sorted(kept)


def test_default_is_ninety_days(store, frozen, log):
    write_aged(store, {"d89": dt.timedelta(days=89), "d90": dt.timedelta(days=90),
                       "d90+": dt.timedelta(days=90, seconds=1), "d365": dt.timedelta(days=365)})
    assert store.purge_expired() is None
    assert survivors(store) == ["d89", "d90"]
    [line] = purge_lines(log)
    assert line.levelno == logging.INFO
    assert line.args == (90,) and type(line.args[0]) is int
    assert line.getMessage() == "Purging facts older than 90 days"


@pytest.mark.parametrize(
    ("days", "as_int"),
    [(7.9, 7), (7.0, 7), (-0.5, 0), (True, 1), (False, 0), (decimal.Decimal("3.99"), 3)],
)
def test_non_integer_days_are_truncated(store, frozen, log, days, as_int):
    write_aged(store, {
        "just-in": dt.timedelta(days=as_int) - US,
        "just-out": dt.timedelta(days=as_int) + US,
        "half-day-more": dt.timedelta(days=as_int, hours=12),
    })
    store.purge_expired(days)
    assert survivors(store) == ["just-in"]
    assert purge_lines(log)[0].args == (as_int,)
    assert type(purge_lines(log)[0].args[0]) is int


@pytest.mark.parametrize("days", ["7", "", None, [7], object()])
def test_days_that_are_not_numbers_raise_before_anything(store, frozen, log, days):
    write_aged(store, {"old": dt.timedelta(days=10000)})
    with pytest.raises(TypeError):
        store.purge_expired(days)
    assert survivors(store) == ["old"]
    assert purge_lines(log) == []
    assert frozen == []  # the clock was not even read


@pytest.mark.parametrize(
    "days",
    [
        10**9,  # beyond the host's interval range
        -(10**9),
        999_999_999,  # a valid interval, but the cutoff falls before year 1
        10**30,
    ],
)
def test_huge_days_overflow_after_the_log_line_with_nothing_deleted(store, frozen, log, monkeypatch, days):
    write_aged(store, {"old": dt.timedelta(days=1000), "new": dt.timedelta(0)})
    conn = RecordingConn(store.conn)
    monkeypatch.setattr(store, "conn", conn)
    with pytest.raises(OverflowError):
        store.purge_expired(days)
    assert [r.args for r in purge_lines(log)] == [(days,)]
    assert conn.statements == []
    monkeypatch.undo()
    assert survivors(store) == ["new", "old"]


def test_cutoff_is_a_zone_aware_utc_timestamp_parameter(store, frozen, monkeypatch):
    conn = RecordingConn(store.conn)
    monkeypatch.setattr(store, "conn", conn)
    store.purge_expired(days=3)
    [(sql, params)] = conn.statements
    assert " ".join(sql.split()) == "DELETE FROM facts WHERE created_at < ?"
    assert type(params) is list and len(params) == 1
    [cutoff] = params
    assert isinstance(cutoff, dt.datetime)
    assert cutoff.utcoffset() == dt.timedelta(0)
    assert cutoff == NOW - dt.timedelta(days=3)
    assert cutoff.microsecond == NOW.microsecond
    assert frozen == [dt.timezone.utc]


def test_clock_is_read_at_each_call(store, module, monkeypatch, utc_session):
    write_aged(store, {"a": dt.timedelta(days=5), "b": dt.timedelta(days=15)})
    for shift, kept in [(-dt.timedelta(days=6), ["a", "b"]), (dt.timedelta(0), ["a"]), (dt.timedelta(days=6), [])]:
        now = NOW + shift

        class Frozen(dt.datetime):
            @classmethod
            def now(cls, tz=None):
                return now.astimezone(tz)

        monkeypatch.setattr(module, "datetime", Frozen)
        store.purge_expired(days=10)
        assert survivors(store) == kept


def test_all_users_and_organisations_alike(store, frozen):
    write_aged(store, {"o1-old": dt.timedelta(days=50), "o1-new": dt.timedelta(days=1)}, org="o1", user="u1")
    write_aged(store, {"o2-old": dt.timedelta(days=50), "o2-new": dt.timedelta(days=1)}, org="o2", user="u2")
    write_aged(store, {"none-old": dt.timedelta(days=50), "none-new": dt.timedelta(days=1)}, org="", user="")
    store.purge_expired(10)
    assert survivors(store) == ["none-new", "o1-new", "o2-new"]


def test_rewritten_old_fact_survives(store, utc_session):
    # real clock: the upsert stamps the database's current time
    meta = {"user_id": "u", "org_id": "o"}
    kept_id = store.upsert_fact("kept", "is", "rewritten", meta)
    store.upsert_fact("gone", "is", "old", meta)
    store.conn.execute("UPDATE facts SET created_at = created_at - INTERVAL 400 DAY")
    assert store.upsert_fact("kept", "is", "rewritten", meta) == kept_id
    store.purge_expired(30)
    assert survivors(store) == ["kept"]


def test_purged_facts_leave_table_reads_but_stay_in_vector_store(store, frozen):
    write_aged(store, {"A": dt.timedelta(days=100)})
    store.purge_expired()
    assert store.get_neighbours("A", 2) == []
    assert store.fetch_by_metadata(org_id="o1", filters={}) == []
    [hit] = store.search("A is aged", user_id="u1", org_id="o1")
    assert (hit["subject"], hit["predicate"], hit["object"]) == ("A", "is", "aged")
