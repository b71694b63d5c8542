// What the companion modules (bulk, traversal, retention) share. Each loads
// the store module first, so that the one process state is set up, and
// offers its functions as operations of the store's own callable type: the
// same binder, messages and introspection as the class's operations.
#pragma once

#include "core/operation_def.hpp"

#include <initializer_list>

namespace kg {

// import corvanta.kgraph.providers.duckdb_sqlite.duck_graph
void load_store_module();

// Binds each function of `functions` in `module` under its name.
void add_functions(PyObject* module, std::initializer_list<const OperationDef*> functions);

// The store a companion function works on: a DuckSqliteGraph whose start-up
// succeeded. `function` names the function in the messages.
void check_started_store(PyObject* graph, const char* function);

}  // namespace kg
