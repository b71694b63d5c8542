// The class DuckSqliteGraph: its documentation, constants and the table of
// its operations, created through the metaclass of its base exactly as a
// class statement would create it.
#pragma once

#include "store/core/operation_def.hpp"

namespace kg {

inline constexpr const char* kStoreClassName = "DuckSqliteGraph";

// Builds the class; `module_name` becomes its __module__.
Ref create_store_class(PyObject* module_name);

// The table of upsert_fact, whose boundary rules the batch upsert applies to
// every fact.
const OperationDef& upsert_fact_definition();
// The tables of the two pure operations of the write path, to tell the
// store's own from an override read through the instance.
const OperationDef& det_id_definition();
const OperationDef& clamp_definition();

}  // namespace kg
