"""The module's surface as a host sees it: the names bound at load, the class
with its documentation and attributes, and every operation's introspection
(names, documentation, annotations, defaults, signature)."""

from __future__ import annotations

import datetime
import hashlib
import inspect
import json
import logging
import pathlib
import re
import typing

import duckdb
import pytest

from corvanta.kgraph.base import KGraphBase
from corvanta.vectorstores.factory import VectorStoreFactory
from support import MODULE_NAME

P = inspect.Parameter
POS = P.POSITIONAL_OR_KEYWORD
KW = P.KEYWORD_ONLY
NO = P.empty

CLASS_DOC = (
    "Knowledge\u2011graph implementation backed by DuckDB.\n"
    "\n"
    "    *Facts* are stored relationally while the accompanying text triple is sent\n"
    "    to the configured `vector_store` for similarity search.  A light JSON column\n"
    "    keeps arbitrary metadata keyed by the caller (e.g. `user_id`, `org_id`, etc.).\n"
    "    "
)

CLAMP_DOC = (
    "Return a copy of *metadata* whose JSON serialisation fits in *max_bytes*.\n"
    "\n"
    "        Strategy: iteratively find the largest string value and halve it until\n"
    "        the total fits.  This preserves all keys and as much data as possible.\n"
    "        "
)

# name -> (kind, parameters after self/cls as (name, kind, annotation, default),
#          return annotation or NO, documentation text)
OPERATIONS = {
    "__new__": ("new", [], NO, None),
    "__init__": ("instance", [("persist_path", POS, "str", NO)], NO, None),
    "_ensure_schema": ("instance", [], "None", "Create tables / indexes if they do not already exist."),
    "_clamp_metadata_for_vs": (
        "static",
        [("metadata", POS, "Dict", NO), ("max_bytes", POS, "int", NO)],
        "Dict",
        CLAMP_DOC,
    ),
    "_det_id": (
        "static",
        [("triple", POS, "str", NO), ("user_id", POS, "str", NO), ("org_id", POS, "str", NO)],
        "str",
        "Deterministically derive the SHA\u2011256 id from the triple+actor.",
    ),
    "upsert_fact": (
        "instance",
        [("subject", POS, "str", NO), ("predicate", POS, "str", NO), ("obj", POS, "str", NO),
         ("metadata", POS, "Dict", NO)],
        "str",
        "Insert or update a fact and mirror it into the vector store.",
    ),
    "search": (
        "instance",
        [("query", POS, "str", NO), ("user_id", KW, "str", NO), ("org_id", KW, "str", NO),
         ("k", KW, "int", 5)],
        "List[Dict]",
        None,
    ),
    "get_neighbours": (
        "instance",
        [("entity", POS, "str", NO), ("depth", POS, "int", 2)],
        "List[Dict]",
        "Breadth\u2011first traversal up to *depth* hops from *entity*.",
    ),
    "purge_expired": (
        "instance",
        [("days", POS, "int", 90)],
        "None",
        "Remove facts whose *created_at* is older than *days*.",
    ),
    "delete_context": (
        "instance",
        [("org_id", KW, "str", NO), ("graph_slice_id", KW, "str", NO)],
        "int",
        "Delete all triples linked to a particular graph slice id.",
    ),
    "fetch_by_metadata": (
        "instance",
        [("org_id", KW, "str", NO), ("filters", KW, "Dict[str, str]", NO)],
        "List[Dict]",
        "Fetch triples whose metadata JSON includes the supplied key/value filters.",
    ),
}

CLASS_ATTRIBUTES = [
    "_instance", "__new__", "__init__", "_ensure_schema", "_VS_META_MAX", "_clamp_metadata_for_vs",
    "_det_id", "upsert_fact", "search", "get_neighbours", "purge_expired", "delete_context",
    "_SAFE_KEY_RE", "fetch_by_metadata",
]

# Entries that the class statement machinery and the base's metaclass add.
CLASS_MACHINERY = {"__module__", "__qualname__", "__doc__", "__abstractmethods__", "_abc_impl",
                   "__firstlineno__", "__static_attributes__", "__dict__", "__weakref__"}


@pytest.fixture(scope="module")
def cls(module):
    return module.DuckSqliteGraph


# --- module namespace -------------------------------------------------------

def test_names_bound_at_load_in_order(module):
    bound = [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))]
    assert bound == ["Path", "duckdb", "logging", "hashlib", "json", "re", "datetime", "timedelta",
                     "timezone", "Dict", "List", "KGraphBase", "VectorStoreFactory", "logger",
                     "DuckSqliteGraph"]


@pytest.mark.parametrize("name, expected", [
    ("Path", pathlib.Path),
    ("duckdb", duckdb),
    ("logging", logging),
    ("hashlib", hashlib),
    ("json", json),
    ("re", re),
    ("datetime", datetime.datetime),
    ("timedelta", datetime.timedelta),
    ("timezone", datetime.timezone),
    ("Dict", typing.Dict),
    ("List", typing.List),
    ("KGraphBase", KGraphBase),
    ("VectorStoreFactory", VectorStoreFactory),
])
def test_bound_names_are_the_host_objects(module, name, expected):
    assert vars(module)[name] is expected


def test_module_logger_is_named_after_the_module(module):
    assert module.logger is logging.getLogger(MODULE_NAME)
    assert module.logger.name == "corvanta.kgraph.providers.duckdb_sqlite.duck_graph"


def test_initialization_error_is_not_bound_at_load(module):
    assert "InitializationError" not in vars(module)


# --- the class --------------------------------------------------------------

def test_class_is_created_by_the_bases_metaclass(cls):
    assert type(cls) is type(KGraphBase)
    assert cls.__bases__ == (KGraphBase,)
    assert cls.__module__ == MODULE_NAME
    assert cls.__name__ == "DuckSqliteGraph"
    assert cls.__qualname__ == "DuckSqliteGraph"
    # Every abstract operation of the base is supplied.
    assert cls.__abstractmethods__ == frozenset()


def test_class_documentation_text_is_exact(cls):
    assert cls.__doc__ == CLASS_DOC


def test_class_attributes_in_definition_order(cls):
    defined = [name for name in vars(cls) if name not in CLASS_MACHINERY]
    assert defined == CLASS_ATTRIBUTES


def test_class_constants(cls):
    assert "_instance" in vars(cls)
    assert type(cls._VS_META_MAX) is int and cls._VS_META_MAX == 60000
    pattern = cls._SAFE_KEY_RE
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == "^[A-Za-z0-9_]+$"
    assert pattern.flags == re.compile("^[A-Za-z0-9_]+$").flags  # no flags given
    assert "_initialized" not in vars(cls)


@pytest.mark.parametrize("key", ["a", "Z", "0", "_", "user_id", "Key_9", "ABCxyz0123456789", "a\n"])
def test_safe_key_pattern_accepts(cls, key):
    assert cls._SAFE_KEY_RE.match(key)


@pytest.mark.parametrize("key", [
    "", "\n", "a b", "a-b", "a.b", "a$", "é", "ß", "\uff41", "\u0663", "\u212a", "a\n\n", "a\nb",
    " a", "a ", "a\t", "a\r",
])
def test_safe_key_pattern_rejects(cls, key):
    assert cls._SAFE_KEY_RE.match(key) is None


# --- operations -------------------------------------------------------------

@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_introspection(cls, name):
    kind, params, returns, doc = OPERATIONS[name]
    op = getattr(cls, name)
    assert op.__name__ == name
    assert op.__qualname__ == f"DuckSqliteGraph.{name}"
    assert op.__module__ == MODULE_NAME
    assert op.__doc__ == doc
    expected_annotations = {p: ann for p, _, ann, _ in params}
    if returns is not NO:
        expected_annotations["return"] = returns
    assert list(op.__annotations__.items()) == list(expected_annotations.items())
    positional_defaults = tuple(d for _, k, _, d in params if k is POS and d is not NO)
    assert op.__defaults__ == (positional_defaults or None)
    kw_defaults = {p: d for p, k, _, d in params if k is KW and d is not NO}
    assert op.__kwdefaults__ == (kw_defaults or None)
    for value in (op.__defaults__ or ()) + tuple((op.__kwdefaults__ or {}).values()):
        assert type(value) is int


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_signature(cls, name):
    kind, params, returns, _ = OPERATIONS[name]
    sig = inspect.signature(getattr(cls, name))
    got = [(p.name, p.kind, p.annotation, p.default) for p in sig.parameters.values()]
    if kind == "new":
        expected = [("cls", POS, NO, NO), ("args", P.VAR_POSITIONAL, NO, NO),
                    ("kwargs", P.VAR_KEYWORD, NO, NO)]
    elif kind == "instance":
        expected = [("self", POS, NO, NO)] + params
    else:
        expected = list(params)
    assert got == expected
    assert sig.return_annotation == returns


@pytest.mark.parametrize("name", [n for n, entry in OPERATIONS.items() if entry[0] == "instance"])
def test_instance_operations_bind_to_the_instance(cls, started_store, name):
    op = vars(cls)[name]
    assert getattr(cls, name) is op
    bound = getattr(started_store, name)
    assert bound.__self__ is started_store
    assert bound.__func__ is op
    kind, params, returns, _ = OPERATIONS[name]
    assert [p.name for p in inspect.signature(bound).parameters.values()] == [p[0] for p in params]


@pytest.mark.parametrize("name", ["__new__", "_clamp_metadata_for_vs", "_det_id"])
def test_static_operations_are_staticmethods(cls, started_store, name):
    assert isinstance(vars(cls)[name], staticmethod)
    assert getattr(started_store, name) is getattr(cls, name)


def test_static_operations_callable_on_the_class_without_an_instance(cls):
    assert cls._det_id("a|b|c", "u", "o") == hashlib.sha256(b"a|b|cuo").hexdigest()
    assert cls._clamp_metadata_for_vs({"user_id": "u"}, 60000) == {"user_id": "u"}
