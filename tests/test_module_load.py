"""Loading the module: imports in order and their failures, importing again,
and the guards against a second initialisation and a second interpreter.
Each case runs in a fresh interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from support import MODULE_NAME, run_python

PRELUDE = f'''
import builtins, importlib, json, os, sys, types
NAME = {MODULE_NAME!r}
out = {{}}


def describe(exc):
    return [type(exc).__name__, str(exc), isinstance(exc, ImportError)]


def works(module, path):
    """The store of `module` starts (or is started) and writes a fact."""
    store = module.DuckSqliteGraph(path)
    fact_id = store.upsert_fact("a", "b", "c", {{"user_id": "u", "org_id": "o"}})
    return [store is vars(module.DuckSqliteGraph)["_instance"], len(fact_id)]
'''


def scenario(code: str, cwd, setup: str = "") -> dict:
    proc = run_python(PRELUDE + setup + textwrap.dedent(code) + "\nprint(json.dumps(out))\n", cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


LOAD_IMPORTS = ["pathlib", "duckdb", "logging", "hashlib", "json", "re", "datetime", "typing",
                "corvanta.kgraph.base", "corvanta.vectorstores.factory"]

RECORD_IMPORTS = '''
requested, depth = [], 0
real_import = builtins.__import__


def recording_import(name, *args, **kwargs):
    # Only what the module's load asks for itself, not its imports' imports.
    global depth
    if depth == 1:
        requested.append(name)
    depth += 1
    try:
        return real_import(name, *args, **kwargs)
    finally:
        depth -= 1
'''


def first_requests(requested: list[str]) -> list[str]:
    return [name for i, name in enumerate(requested) if name not in requested[:i] and name in LOAD_IMPORTS]


def test_load_imports_the_host_facilities_in_order(tmp_path):
    seen = scenario('''
        builtins.__import__ = recording_import
        try:
            builtins.__import__(NAME)  # the load runs inside this one call
        finally:
            builtins.__import__ = real_import
        out["requested"] = requested
        out["exceptions_imported"] = "corvanta.utils.exceptions" in sys.modules
    ''', tmp_path, setup=RECORD_IMPORTS)
    assert first_requests(seen["requested"]) == LOAD_IMPORTS
    assert seen["exceptions_imported"] is False


@pytest.mark.parametrize("blocked", ["pathlib", "duckdb", "corvanta.kgraph.base", "corvanta.vectorstores.factory"])
def test_failed_import_aborts_the_load_with_the_hosts_error(tmp_path, blocked):
    seen = scenario(f'''
        saved = sys.modules.get({blocked!r})
        sys.modules[{blocked!r}] = None
        try:
            importlib.import_module({blocked!r})
        except ImportError as e:
            out["expected"] = describe(e)
        builtins.__import__ = recording_import
        try:
            builtins.__import__(NAME)  # the load runs inside this one call
            out["error"] = None
        except BaseException as e:
            out["error"] = describe(e)
        finally:
            builtins.__import__ = real_import
        out["requested"] = requested
        out["left_in_sys_modules"] = NAME in sys.modules
        if saved is None:
            del sys.modules[{blocked!r}]
        else:
            sys.modules[{blocked!r}] = saved
        module = importlib.import_module(NAME)
        out["retry_works"] = works(module, "store")
    ''', tmp_path, setup=RECORD_IMPORTS)
    assert seen["error"] == seen["expected"]
    assert seen["error"][2] is True
    assert seen["left_in_sys_modules"] is False
    expected = LOAD_IMPORTS[:LOAD_IMPORTS.index(blocked) + 1]
    assert first_requests(seen["requested"]) == expected  # nothing after the failed step
    assert seen["retry_works"] == [True, 64]


@pytest.mark.parametrize("host_module, name", [
    ("corvanta.kgraph.base", "KGraphBase"),
    ("corvanta.vectorstores.factory", "VectorStoreFactory"),
])
def test_missing_host_class_aborts_the_load(tmp_path, host_module, name):
    seen = scenario(f'''
        sys.modules[{host_module!r}] = types.ModuleType({host_module!r})
        try:
            importlib.import_module(NAME)
            out["error"] = None
        except BaseException as e:
            out["error"] = describe(e)
    ''', tmp_path)
    kind, message, is_import_error = seen["error"]
    assert is_import_error is True
    assert message.startswith(f"cannot import name {name!r} from {host_module!r}")


def test_load_does_not_need_the_initialization_error_module(tmp_path):
    seen = scenario('''
        sys.modules["corvanta.utils.exceptions"] = None
        module = importlib.import_module(NAME)
        out["bound"] = [n for n in vars(module) if not n.startswith("__")]
    ''', tmp_path)
    assert seen["bound"][-1] == "DuckSqliteGraph"


def test_importing_again_gives_the_same_working_store(tmp_path):
    seen = scenario('''
        first = importlib.import_module(NAME)
        store = first.DuckSqliteGraph("store")
        del sys.modules[NAME]
        again = importlib.import_module(NAME)
        out["again_works"] = works(again, "elsewhere")
        out["same_store"] = again.DuckSqliteGraph("elsewhere") is store
        reloaded = importlib.reload(again)
        out["reloaded_works"] = works(reloaded, "third")
        out["same_store_after_reload"] = reloaded.DuckSqliteGraph("third") is store
        out["listing"] = sorted(os.listdir("."))
    ''', tmp_path)
    assert seen["again_works"] == [True, 64]
    assert seen["reloaded_works"] == [True, 64]
    assert seen["same_store"] is True
    assert seen["same_store_after_reload"] is True
    assert seen["listing"] == ["store"]


def test_second_initialisation_into_a_new_module_object_is_refused(tmp_path):
    seen = scenario('''
        import ctypes
        module = importlib.import_module(NAME)
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_New.restype = ctypes.py_object
        api.PyModule_New.argtypes = [ctypes.c_char_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(module)
        out["has_definition"] = bool(definition)
        fresh = api.PyModule_New(b"x")
        try:
            out["result"] = api.PyModule_ExecDef(fresh, definition)
        except BaseException as e:
            out["error"] = describe(e)
        out["fresh_names"] = sorted(n for n in vars(fresh) if not n.startswith("__"))
        out["original_works"] = works(module, "store")
    ''', tmp_path)
    assert seen["has_definition"] is True
    assert seen.get("error") == [
        "RuntimeError", "Module 'duck_graph' has already been imported. Re-initialisation is not supported.", False]
    assert seen["fresh_names"] == []
    assert seen["original_works"] == [True, 64]


def test_second_interpreter_is_refused(tmp_path):
    seen = scenario('''
        import _interpreters
        module = importlib.import_module(NAME)
        out["errors"] = {}
        for config in ("isolated", "legacy"):
            interp = _interpreters.create(config)
            try:
                failure = _interpreters.exec(interp, "import " + NAME)
            finally:
                _interpreters.destroy(interp)
            out["errors"][config] = None if failure is None else [failure.type.__name__, failure.msg]
        out["main_works"] = works(module, "store")
    ''', tmp_path)
    refusal = ["ImportError",
               "Interpreter change detected - this module can only be loaded into one interpreter per process."]
    assert seen["errors"] == {"isolated": refusal, "legacy": refusal}
    assert seen["main_works"] == [True, 64]


def test_refused_load_in_another_interpreter_leaves_the_module_to_the_next(tmp_path):
    # The database client refuses subinterpreters, so the load fails there;
    # the main interpreter's own load afterwards must work.
    seen = scenario('''
        import _interpreters
        interp = _interpreters.create("isolated")
        try:
            failure = _interpreters.exec(interp, "import " + NAME)
        finally:
            _interpreters.destroy(interp)
        out["sub_failed"] = failure is not None
        out["main_works"] = works(importlib.import_module(NAME), "store")
    ''', tmp_path)
    assert seen == {"sub_failed": True, "main_works": [True, 64]}


EMBEDDING_HOST = r"""
#include <Python.h>

int main(int argc, char** argv) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() != 0) return 20 + round;
    }
    return 0;
}
"""


def test_runtime_initialised_again_refuses_the_load(tmp_path):
    import shutil
    import sysconfig

    compiler = shutil.which("cc")
    if compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython")
    libdir = sysconfig.get_config_var("LIBDIR")
    (tmp_path / "host.c").write_text(EMBEDDING_HOST)
    subprocess.run([compiler, "host.c", "-o", "host", "-I" + sysconfig.get_paths()["include"], "-L" + libdir,
                    "-Wl,-rpath," + libdir, "-lpython" + sysconfig.get_config_var("LDVERSION")],
                   cwd=tmp_path, check=True)
    code = textwrap.dedent(f'''
        import importlib, tempfile
        try:
            module = importlib.import_module({MODULE_NAME!r})
            store = module.DuckSqliteGraph(tempfile.mkdtemp(dir="."))
            print("loaded", len(store.upsert_fact("a", "b", "c", {{}})))
        except ImportError as e:
            print("refused", e)
    ''')
    proc = subprocess.run([str(tmp_path / "host"), code], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.splitlines() == [
        "loaded 64",
        "refused Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ]
