// What the companion modules (bulk, traversal, retention) share. Each loads
// the store module first, so that the one process state is set up, and
// offers its functions as operations of the store's own callable type: the
// same binder, messages and introspection as the class's operations.
#pragma once

#include "store/core/entry_point.hpp"
#include "store/core/operation_def.hpp"

#include <initializer_list>

namespace kg {

// import corvanta.kgraph.providers.duckdb_sqlite.duck_graph
void load_store_module();

// Binds each function of `functions` in `module` under its name.
void add_functions(PyObject* module, std::initializer_list<const OperationDef*> functions);

// The store a companion function works on: a DuckSqliteGraph whose start-up
// succeeded. `function` names the function in the messages.
void check_started_store(PyObject* graph, const char* function);

// Nothing more to set up in a companion module.
inline void no_setup(PyObject* /*module*/) {}

// The exec slot of a companion module offering `Functions`; `Setup` adds
// what else the module holds (a type).
template <void (*Setup)(PyObject*), const OperationDef&... Functions>
int exec_companion(PyObject* module) {
    return status_entry_point([&] {
        load_store_module();
        add_functions(module, {&Functions...});
        Setup(module);
    });
}

// The slots of a companion module offering `Functions`, set up further by
// `Setup`.
template <void (*Setup)(PyObject*), const OperationDef&... Functions>
inline PyModuleDef_Slot companion_slots_with[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_companion<Setup, Functions...>)},
    // As for duck_graph: a second interpreter meets the store's own refusal.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

// The slots of a companion module offering `Functions`.
template <const OperationDef&... Functions>
inline PyModuleDef_Slot* const companion_slots = companion_slots_with<no_setup, Functions...>;

// The definition of a companion module; `slots` from companion_slots.
inline PyModuleDef companion_module(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace kg
