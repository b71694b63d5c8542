// Process-wide state of the module. The module refuses a second
// initialisation and a second interpreter, so one instance of this state
// serves the whole process and lives until it ends.
#pragma once

#include "core/conn_lock.hpp"
#include "core/names.hpp"

namespace kg {

struct ModuleState {
    Names names;
    PyObject* globals = nullptr;      // the module namespace (strong reference)
    PyObject* store_class = nullptr;  // DuckSqliteGraph (strong reference)
    PyObject* standard_dumps = nullptr;  // the standard library's json.dumps, as bound at load (strong)
    ConnLock conn_lock;
};

ModuleState& state();
inline const Names& names() { return state().names; }

// A module-level name, read from the namespace at the moment of use so that
// a host or a test that rebinds it is followed. Missing: NameError.
Ref global(PyObject* name);

}  // namespace kg
