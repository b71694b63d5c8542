// The class DuckSqliteGraph: its documentation, constants and the table of
// its operations, created through the metaclass of its base exactly as a
// class statement would create it.
#pragma once

#include "core/pyref.hpp"

namespace kg {

inline constexpr const char* kStoreClassName = "DuckSqliteGraph";

// Builds the class; `module_name` becomes its __module__.
Ref create_store_class(PyObject* module_name);

}  // namespace kg
