import importlib
import inspect

import pytest

from corvanta.kgraph.base import KGraphBase
from corvanta.utils.exceptions import InitializationError

KGRAPH_METHODS = {
    "upsert_fact": lambda self, subject, predicate, obj, metadata: None,
    "search": lambda self, query, *, user_id, org_id, k=5: [],
    "get_neighbours": lambda self, entity, depth=2: [],
    "purge_expired": lambda self, days=90: 0,
    "delete_context": lambda self, *, org_id, graph_slice_id: None,
    "fetch_by_metadata": lambda self, *, org_id, filters: [],
}


@pytest.mark.parametrize("package", ["corvanta", "corvanta.kgraph", "corvanta.utils", "corvanta.vectorstores"])
def test_packages_are_namespace_packages(package):
    # The product wheel adds corvanta/kgraph/providers/...; a regular package
    # (one with __init__.py) here would hide it.
    mod = importlib.import_module(package)
    assert getattr(mod, "__file__", None) is None
    assert mod.__spec__.origin in (None, "namespace")


def test_complete_subclass_can_be_instantiated():
    impl = type("Impl", (KGraphBase,), dict(KGRAPH_METHODS))
    assert isinstance(impl(), KGraphBase)
    assert KGraphBase.__abstractmethods__ == frozenset(KGRAPH_METHODS)


@pytest.mark.parametrize("missing", sorted(KGRAPH_METHODS))
def test_subclass_missing_a_method_cannot_be_instantiated(missing):
    methods = {name: fn for name, fn in KGRAPH_METHODS.items() if name != missing}
    with pytest.raises(TypeError, match=missing):
        type("Partial", (KGraphBase,), methods)()


@pytest.mark.parametrize("name", sorted(KGRAPH_METHODS))
def test_base_signatures_match_what_providers_implement(name):
    assert inspect.signature(getattr(KGraphBase, name)) == inspect.signature(KGRAPH_METHODS[name])


@pytest.mark.parametrize("cause", [None, OSError("disk full")])
def test_initialization_error_carries_its_parts(cause):
    try:
        raise InitializationError(component="duckdb", message="cannot open db", cause=cause)
    except InitializationError as err:
        assert str(err) == "cannot open db"
        assert (err.component, err.message, err.cause) == ("duckdb", "cannot open db", cause)
        assert err.args == ("cannot open db",)


def test_initialization_error_arguments_are_keyword_only():
    with pytest.raises(TypeError):
        InitializationError("duckdb", "cannot open db")
