// The record the retrieval operations return for one fact: a dict with
// "subject", "predicate" and "object", inserted in this order (the key is
// "object" although the column is `obj`).
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// From the first three items of `row` (a database row or the pieces of a
// split document text).
Ref triple_record(PyObject* row);
Ref triple_record(PyObject* subject, PyObject* predicate, PyObject* object);

// The rows a statement returned, as a list (fetchall already gives one).
Ref row_list(Ref rows);

}  // namespace kg
