// The companion module `bulk`: writing many facts at once into the store of
// `duck_graph`. It shares the store's code and process state (above all the
// connection lock) through the core library both modules link, and loads
// `duck_graph` first so that state is set up.
#include "bulk/upsert_facts.hpp"
#include "core/binder.hpp"
#include "core/entry_point.hpp"
#include "core/module_state.hpp"

namespace kg::bulk {
namespace {

constexpr const char* kStoreModule = "corvanta.kgraph.providers.duckdb_sqlite.duck_graph";

constexpr Param kUpsertFactsParams[] = {{"graph"}, {"facts"}};
const OperationDef kUpsertFacts{"upsert_facts", true, kUpsertFactsParams, "List[str]", ResultRule::Unchecked,
                                nullptr, nullptr};

PyObject* upsert_facts_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return object_entry_point([&] {
        PyObject* const param_names[] = {names().graph, names().facts};
        BoundArgs bound = bind_arguments(kUpsertFacts, param_names, args, nargs, kwnames);
        return upsert_facts({.graph = bound[0], .facts = bound[1]});
    });
}

PyMethodDef module_methods[] = {
    {"upsert_facts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(upsert_facts_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "upsert_facts($module, /, graph, facts)\n"
     "--\n"
     "\n"
     "Write many facts at once; return their ids in input order.\n"
     "\n"
     "*facts* is an iterable of (subject, predicate, obj, metadata) tuples.\n"
     "Each fact is checked, identified and stored exactly as\n"
     "graph.upsert_fact would store it, but all rows of the call go in with\n"
     "one statement: a refused fact or a database error leaves nothing of\n"
     "the call in the table. A fact repeated in the call is stored once, as\n"
     "its last occurrence. The vector store then receives the documents in\n"
     "one add_texts call (one call per fact if that raises, each failure\n"
     "logged as upsert_fact logs it). Memory grows with the call: pass a\n"
     "long stream of facts in chunks."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* /*module*/) {
    return status_entry_point([] { Ref store_module = Ref::steal(PyImport_ImportModule(kStoreModule)); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // As for duck_graph: a second interpreter meets the store's own refusal.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "bulk",
    "Writing many facts at once into the knowledge-graph store.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kg::bulk

PyMODINIT_FUNC PyInit_bulk() { return PyModuleDef_Init(&kg::bulk::module_def); }
