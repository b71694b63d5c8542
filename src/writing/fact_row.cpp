#include "writing/fact_row.hpp"

#include "core/connection.hpp"
#include "core/py.hpp"

namespace kg {
namespace {

const StaticString kWriteOne{"INSERT INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)" KG_SAME_FACT_CONFLICT_CLAUSE};

}  // namespace

PyObject* first_value(PyObject* rows) {
    if (!PyList_Check(rows) || PyList_GET_SIZE(rows) == 0) return nullptr;
    PyObject* row = PyList_GET_ITEM(rows, 0);
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) == 0) return nullptr;
    return PyTuple_GET_ITEM(row, 0);
}

void raise_other_fact_stored(PyObject* fact_id) {
    Ref head = py::head(fact_id, 12);
    raise(PyExc_ValueError,
          "id %U is stored for another fact (subject, predicate, object, user or organisation differ); "
          "nothing was written",
          head.get());
}

void write_fact_row(PyObject* conn, PyObject* row, PyObject* fact_id) {
    Ref rows = execute_fetchall(conn, kWriteOne.get(), row);
    PyObject* count = first_value(rows.get());
    // An exact int runs no code when tested.
    if (count != nullptr && PyLong_CheckExact(count) && check(PyObject_Not(count))) raise_other_fact_stored(fact_id);
}

}  // namespace kg
