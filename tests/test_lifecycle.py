"""Construction and start-up of the one store per process: the singleton, the
directory and database path, failures (wrapped or not) and their retry, the
vector store obtained from the factory, and the start-up log line. Every
scenario needs its own process, so each runs in a fresh interpreter and
reports what it saw as JSON."""

from __future__ import annotations

import json
import textwrap

import duckdb
import pytest

from support import run_python

PRELUDE = '''
import json, logging, os, subprocess, sys, types
import duckdb
import corvanta.kgraph.providers.duckdb_sqlite.duck_graph as m
from corvanta.vectorstores.factory import VectorStoreFactory

C = m.DuckSqliteGraph
out = {}
records = []


class _Capture(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.msg, list(record.args or ())])


m.logger.addHandler(_Capture())
m.logger.setLevel(logging.DEBUG)


def attempt(*args, **kwargs):
    """Constructs the store and describes what happened."""
    try:
        inst = C(*args, **kwargs)
    except BaseException as e:
        cause = e.__cause__
        return {
            "raised": type(e).__name__,
            "exc_module": type(e).__module__,
            "is_oserror": isinstance(e, OSError),
            "message": str(e),
            "cause": None if cause is None else type(cause).__name__,
            "cause_text": None if cause is None else str(cause),
            "cause_is_duckdb_error": isinstance(cause, duckdb.Error),
            "cause_attr_is_cause": getattr(e, "cause", None) is cause,
            "suppress_context": e.__suppress_context__,
            "component": getattr(e, "component", None),
            "message_attr": getattr(e, "message", None),
            "kwargs": getattr(e, "kwargs", None),
        }
    return {"raised": None, "same_instance": inst is vars(C)["_instance"]}


def state():
    inst = vars(C)["_instance"]
    if inst is None:
        return None
    attrs = vars(inst)
    return {
        "attrs": list(attrs),
        "db_path": attrs.get("db_path"),
        "initialized": repr(attrs.get("_initialized")),
        "conn_is_connection": isinstance(attrs.get("conn"), duckdb.DuckDBPyConnection),
    }
'''


def scenario(code: str, cwd, env: dict[str, str] | None = None) -> dict:
    proc = run_python(PRELUDE + textwrap.dedent(code) + "\nprint(json.dumps(out, default=repr))\n",
                      cwd=cwd, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def started_line(db_path: str) -> list:
    return ["INFO", f"DuckSqliteGraph initialized at {db_path}", []]


# --- the first start and later constructions ---------------------------------

@pytest.fixture(scope="module")
def first_start(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("first_start")
    return scenario('''
        out["slot_before"] = repr(vars(C)["_instance"])
        factory_calls, connect_calls = [], []

        def get_store(*args, **kwargs):
            factory_calls.append([list(args), kwargs])
            return VectorStoreFactory.get_store()

        m.VectorStoreFactory = types.SimpleNamespace(get_store=get_store)
        fake_duckdb = types.ModuleType("duckdb")
        fake_duckdb.__dict__.update(vars(duckdb))

        def connect(*args, **kwargs):
            connect_calls.append([[type(a).__name__ for a in args], list(args), kwargs])
            return duckdb.connect(*args, **kwargs)

        fake_duckdb.connect = connect
        m.duckdb = fake_duckdb

        a = C("first")
        conn, vs = a.conn, a.vector_store
        b = C("second/deeper")
        c = C(persist_path="third")
        out["same"] = a is b is c is vars(C)["_instance"]
        out["state"] = state()
        out["kept"] = a.conn is conn and a.vector_store is vs
        out["vector_store_from_factory"] = vs is VectorStoreFactory.get_store()
        out["table_usable"] = a.conn.execute("SELECT count(*) FROM facts").fetchone()[0]
        out["none"] = attempt(None)
        out["bogus"] = attempt("fourth", bogus=1)
        out["subclass"] = attempt(type("S", (str,), {})("fifth"))
        out["state_after_rejections"] = state()
        out["listing"] = sorted(os.listdir("."))
        out["db_file"] = os.path.isfile("first/kgraph.duckdb")
        out["factory_calls"] = factory_calls
        out["connect_calls"] = connect_calls
        out["records"] = records
        out["class_has_initialized"] = "_initialized" in vars(C)
    ''', cwd)


def test_no_instance_before_the_first_construction(first_start):
    assert first_start["slot_before"] == "None"


def test_every_construction_yields_the_one_instance(first_start):
    assert first_start["same"] is True


def test_start_up_sets_the_instance_attributes_in_order(first_start):
    assert first_start["state"] == {
        "attrs": ["db_path", "conn", "vector_store", "_initialized"],
        "db_path": "first/kgraph.duckdb",
        "initialized": "True",
        "conn_is_connection": True,
    }
    assert first_start["class_has_initialized"] is False
    assert first_start["db_file"] is True
    assert first_start["table_usable"] == 0


def test_later_constructions_start_nothing(first_start):
    assert first_start["kept"] is True
    assert first_start["listing"] == ["first"]  # no directory for the later paths
    assert len(first_start["connect_calls"]) == 1
    assert len(first_start["factory_calls"]) == 1


def test_database_is_opened_with_the_path_text_only(first_start):
    assert first_start["connect_calls"] == [[["str"], ["first/kgraph.duckdb"], {}]]


def test_vector_store_is_obtained_from_the_factory_without_arguments(first_start):
    assert first_start["factory_calls"] == [[[], {}]]
    assert first_start["vector_store_from_factory"] is True


def test_started_store_still_checks_construction_arguments(first_start):
    assert first_start["none"]["raised"] == "TypeError"
    assert first_start["none"]["message"] == \
        "Argument 'persist_path' has incorrect type (expected str, got NoneType)"
    assert first_start["bogus"]["message"] == "__init__() got an unexpected keyword argument 'bogus'"
    assert first_start["subclass"]["message"] == \
        "Argument 'persist_path' has incorrect type (expected str, got S)"
    assert first_start["state_after_rejections"] == first_start["state"]


def test_start_up_is_logged_once(first_start):
    assert first_start["records"] == [started_line("first/kgraph.duckdb")]


# --- the database path ------------------------------------------------------

@pytest.mark.parametrize("persist_path, db_path, directory", [
    ("", "kgraph.duckdb", "."),
    (".", "kgraph.duckdb", "."),
    ("data", "data/kgraph.duckdb", "data"),
    ("data/", "data/kgraph.duckdb", "data"),
    ("./data//", "data/kgraph.duckdb", "data"),
    ("a//b/./c", "a/b/c/kgraph.duckdb", "a/b/c"),
    ("p/q/r/s/t", "p/q/r/s/t/kgraph.duckdb", "p/q/r/s/t"),
    ("x/../y", "x/../y/kgraph.duckdb", "y"),
    ("d\u00e9j\u00e0 vu", "d\u00e9j\u00e0 vu/kgraph.duckdb", "d\u00e9j\u00e0 vu"),
])
def test_database_path_follows_the_host_path_rules(tmp_path, persist_path, db_path, directory):
    seen = scenario(f'''
        C({persist_path!r})
        out["state"] = state()
        out["records"] = records
    ''', tmp_path)
    assert seen["state"]["db_path"] == db_path
    assert seen["state"]["initialized"] == "True"
    assert (tmp_path / directory / "kgraph.duckdb").is_file()
    assert seen["records"] == [started_line(db_path)]


def test_leading_tilde_goes_to_the_database_client_as_written(tmp_path):
    # The directory step makes "./~/data"; the database client expands "~"
    # itself, so the file lives (or fails to open) under the home directory.
    home = tmp_path / "home"
    home.mkdir()
    seen = scenario(f'''
        out["missing"] = attempt("~/data")
        os.mkdir({str(home / "data")!r})
        out["present"] = attempt("~/data")
        out["state"] = state()
    ''', tmp_path, env={"HOME": str(home)})
    assert seen["missing"]["raised"] == "InitializationError"
    assert seen["missing"]["message"].startswith("Failed to initialize DuckDB at ~/data/kgraph.duckdb: ")
    assert seen["missing"]["cause_is_duckdb_error"] is True
    assert seen["present"]["raised"] is None
    assert seen["state"]["db_path"] == "~/data/kgraph.duckdb"
    assert (home / "data" / "kgraph.duckdb").is_file()
    assert list((tmp_path / "~" / "data").iterdir()) == []


def test_absolute_path_stays_absolute(tmp_path):
    target = tmp_path / "abs" / "store"
    seen = scenario(f'''
        C({str(target) + "/"!r})
        out["state"] = state()
    ''', tmp_path / "..")
    assert seen["state"]["db_path"] == f"{target}/kgraph.duckdb"
    assert (target / "kgraph.duckdb").is_file()


# --- failed start-ups and their retry -----------------------------------------

@pytest.fixture(scope="module")
def failures(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("failures")
    (cwd / "afile").write_text("not a directory")
    (cwd / "garbage").mkdir()
    (cwd / "garbage" / "kgraph.duckdb").write_bytes(b"this is not a database file\n" * 200)
    return scenario('''
        out["missing"] = attempt()
        out["after_missing"] = state()
        out["bogus"] = attempt("kwdir", bogus=1)

        out["file"] = attempt("afile")
        out["after_file"] = state()
        out["under_file"] = attempt("afile/sub")

        exceptions = sys.modules["corvanta.utils.exceptions"]
        sys.modules["corvanta.utils.exceptions"] = None
        out["no_error_type"] = attempt("early")
        sys.modules["corvanta.utils.exceptions"] = exceptions

        out["garbage"] = attempt("garbage")
        out["after_garbage"] = state()

        real_error = exceptions.InitializationError

        class RecordingError(Exception):
            def __init__(self, **kwargs):
                super().__init__(kwargs["message"])
                self.kwargs = list(kwargs)

        exceptions.InitializationError = RecordingError
        out["replaced_error_type"] = attempt("garbage")
        exceptions.InitializationError = real_error

        real_duckdb = m.duckdb

        def failing_connect(exc):
            def connect(*args, **kwargs):
                raise exc
            return types.SimpleNamespace(connect=connect)

        m.duckdb = failing_connect(RuntimeError("boom"))
        out["connect_error"] = attempt("conn")
        m.duckdb = failing_connect(KeyboardInterrupt())
        out["interrupt"] = attempt("conn")
        m.duckdb = real_duckdb

        out["records_before_success"] = list(records)
        os.remove("garbage/kgraph.duckdb")
        out["retry"] = attempt("garbage")
        out["final"] = state()
        out["again"] = attempt("other")
        out["records"] = records
        out["listing"] = sorted(os.listdir("."))
    ''', cwd)


def test_missing_path_leaves_the_instance_registered_but_not_started(failures):
    assert failures["missing"]["raised"] == "TypeError"
    assert failures["missing"]["message"] == "__init__() takes exactly 2 positional arguments (1 given)"
    assert failures["after_missing"]["attrs"] == []


def test_unknown_keyword_is_rejected_by_start_up(failures):
    assert failures["bogus"]["raised"] == "TypeError"
    assert failures["bogus"]["message"] == "__init__() got an unexpected keyword argument 'bogus'"
    assert "kwdir" not in failures["listing"]


@pytest.mark.parametrize("case, error", [("file", "FileExistsError"), ("under_file", "NotADirectoryError")])
def test_directory_errors_pass_unwrapped(failures, case, error):
    seen = failures[case]
    assert seen["raised"] == error and seen["is_oserror"] is True
    assert seen["cause"] is None
    assert failures["after_file"]["attrs"] == []  # not started; not even db_path


def test_error_type_is_resolved_at_start_up(failures):
    seen = failures["no_error_type"]
    assert seen["raised"] in ("ImportError", "ModuleNotFoundError")
    assert "corvanta.utils.exceptions" in seen["message"]
    assert "early" not in failures["listing"]  # resolved before the directory step


def test_unreadable_database_becomes_initialization_error(failures):
    seen = failures["garbage"]
    assert (seen["raised"], seen["exc_module"]) == ("InitializationError", "corvanta.utils.exceptions")
    prefix = "Failed to initialize DuckDB at garbage/kgraph.duckdb: "
    assert seen["message"] == prefix + seen["cause_text"]
    assert seen["message_attr"] == seen["message"]
    assert seen["component"] == "DuckSqliteGraph"
    assert seen["cause_is_duckdb_error"] is True
    assert seen["cause_attr_is_cause"] is True
    assert seen["suppress_context"] is True  # raised from the cause
    assert failures["after_garbage"]["attrs"] == ["db_path"]
    assert failures["after_garbage"]["db_path"] == "garbage/kgraph.duckdb"


def test_initialization_error_is_built_with_keywords_in_order(failures):
    seen = failures["replaced_error_type"]
    assert seen["raised"] == "RecordingError"
    assert seen["kwargs"] == ["component", "message", "cause"]


def test_any_exception_of_the_open_is_wrapped_with_its_text(failures):
    seen = failures["connect_error"]
    assert seen["raised"] == "InitializationError"
    assert seen["message"] == "Failed to initialize DuckDB at conn/kgraph.duckdb: boom"
    assert seen["cause"] == "RuntimeError"


def test_interrupts_are_not_wrapped(failures):
    assert failures["interrupt"]["raised"] == "KeyboardInterrupt"
    assert failures["interrupt"]["cause"] is None


def test_failed_start_up_is_retried_by_the_next_construction(failures):
    assert failures["records_before_success"] == []
    assert failures["retry"] == {"raised": None, "same_instance": True}
    assert failures["final"] == {
        "attrs": ["db_path", "conn", "vector_store", "_initialized"],
        "db_path": "garbage/kgraph.duckdb",
        "initialized": "True",
        "conn_is_connection": True,
    }
    assert failures["again"] == {"raised": None, "same_instance": True}
    assert failures["records"] == [started_line("garbage/kgraph.duckdb")]
    assert "other" not in failures["listing"]


@pytest.fixture(scope="module")
def factory_failure(tmp_path_factory):
    return scenario('''
        class Boom(Exception):
            pass

        calls = []
        sentinel = object()

        def failing(*args, **kwargs):
            calls.append([list(args), kwargs])
            raise Boom("no store")

        def working(*args, **kwargs):
            calls.append([list(args), kwargs])
            return sentinel

        m.VectorStoreFactory = types.SimpleNamespace(get_store=failing)
        out["first"] = attempt("vs")
        out["after_first"] = state()
        out["records_after_first"] = list(records)
        m.VectorStoreFactory = types.SimpleNamespace(get_store=working)
        out["second"] = attempt("vs")
        out["final"] = state()
        out["vector_store_is_result"] = vars(C)["_instance"].vector_store is sentinel
        out["calls"] = calls
        out["records"] = records
    ''', tmp_path_factory.mktemp("factory"))


def test_factory_error_passes_unwrapped(factory_failure):
    seen = factory_failure["first"]
    assert (seen["raised"], seen["message"], seen["cause"]) == ("Boom", "no store", None)
    assert factory_failure["after_first"]["attrs"] == ["db_path", "conn"]
    assert factory_failure["after_first"]["conn_is_connection"] is True
    assert factory_failure["records_after_first"] == []


def test_factory_is_asked_again_on_retry(factory_failure):
    assert factory_failure["second"]["raised"] is None
    assert factory_failure["vector_store_is_result"] is True
    assert factory_failure["calls"] == [[[], {}], [[], {}]]
    assert factory_failure["final"]["attrs"] == ["db_path", "conn", "vector_store", "_initialized"]
    assert factory_failure["records"] == [started_line("vs/kgraph.duckdb")]


def test_initialization_error_of_the_wrong_kind_is_raised_as_a_raise_statement_would(tmp_path):
    (tmp_path / "garbage").mkdir()
    (tmp_path / "garbage" / "kgraph.duckdb").write_bytes(b"this is not a database file\n" * 200)
    seen = scenario('''
        import corvanta.utils.exceptions as exceptions

        def outcome(run):
            try:
                run()
            except BaseException as e:
                return [type(e).__name__, str(e), type(e.__cause__).__name__, type(e.__context__).__name__]

        def python_raise(factory):
            try:
                duckdb.connect("garbage/kgraph.duckdb")
            except Exception as e:
                raise factory(component="DuckSqliteGraph", message="m", cause=e) from e

        results = {}
        for name, result in [("none", None), ("int", 1), ("plain_class", type("Plain", (), {})),
                             ("object", object()), ("exception_class", KeyError)]:
            exceptions.InitializationError = lambda **kwargs: result
            results[name] = [outcome(lambda: C("garbage")),
                             outcome(lambda: python_raise(exceptions.InitializationError))]
        out["results"] = results
    ''', tmp_path)
    for name, (store, python) in seen["results"].items():
        assert store == python, name
    assert seen["results"]["none"][0][:2] == ["TypeError", "exceptions must derive from BaseException"]


# --- a database held by another process --------------------------------------

def test_database_locked_by_another_process(tmp_path):
    (tmp_path / "locked").mkdir()
    holder = duckdb.connect(str(tmp_path / "locked" / "kgraph.duckdb"))
    try:
        holder.execute("CREATE TABLE held (x INTEGER)")
        seen = scenario('''
            out["locked"] = attempt("locked")
            out["state"] = state()
        ''', tmp_path)
    finally:
        holder.close()
    locked = seen["locked"]
    assert locked["raised"] == "InitializationError"
    assert locked["message"] == "Failed to initialize DuckDB at locked/kgraph.duckdb: " + locked["cause_text"]
    assert locked["cause_is_duckdb_error"] is True
    assert seen["state"]["initialized"] == "None"


def test_connection_of_a_failed_start_up_is_released_by_the_next(tmp_path):
    (tmp_path / "bad").mkdir()
    prepared = duckdb.connect(str(tmp_path / "bad" / "kgraph.duckdb"))
    prepared.execute("CREATE TABLE facts (id TEXT, subject TEXT)")
    prepared.close()
    seen = scenario('''
        probe = "import duckdb; duckdb.connect('bad/kgraph.duckdb').execute('SELECT 1')"

        def can_open_elsewhere():
            return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0

        out["failed"] = attempt("bad")
        out["held_after_failure"] = not can_open_elsewhere()
        out["good"] = attempt("good")
        out["released_after_success"] = can_open_elsewhere()
    ''', tmp_path)
    assert seen["failed"]["raised"] == "InitializationError"
    assert seen["held_after_failure"] is True  # the failed attempt's connection stays on the instance
    assert seen["good"]["raised"] is None
    assert seen["released_after_success"] is True
