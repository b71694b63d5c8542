#include "store/writing/fact_row.hpp"

#include "store/core/conn_lock.hpp"
#include "store/core/connection.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

namespace kg {
namespace {

#define KG_ONE_ROW "INSERT INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)"

const StaticString kAddOne{
    "INSERT INTO facts SELECT ?, ?, ?, ?, ?, ?, current_timestamp, ?" KG_OUTSIDE_THAT_TRANSACTION};
const StaticString kWriteOne{KG_ONE_ROW KG_SAME_FACT_CONFLICT_CLAUSE};

}  // namespace

bool pending_error_is_stored_id() {
    if (!pending_error_is_exception()) return false;
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref duckdb = global(names().duckdb);
    PyObject* refusal = nullptr;
    const int found = PyObject_GetOptionalAttrString(duckdb.get(), "ConstraintException", &refusal);
    Ref owned = Ref::steal_nullable(refusal);
    if (found < 0) {
        // A failed lookup must not replace the write's own error.
        if (!pending_error_is_exception()) throw_error_already_set();
        PyErr_Clear();
    }
    const bool matches =
        owned && PyExceptionClass_Check(owned.get()) && PyErr_GivenExceptionMatches(exception.get(), owned.get());
    PyErr_SetRaisedException(exception.release());
    return matches;
}

void raise_other_fact_stored(PyObject* fact_id) {
    Ref head = py::head(fact_id, 12);
    raise(PyExc_ValueError,
          "id %U is stored for another fact (subject, predicate, object, user or organisation differ); "
          "nothing was written",
          head.get());
}

void write_fact_row(PyObject* conn, PyObject* row, PyObject* fact_id) {
    ConnLock::Guard whole_write(state().conn_lock);
    if (Ref transaction = current_transaction(conn)) {
        Ref params = py::copy_list(row);
        check(PyList_Append(params.get(), transaction.get()));
        try {
            Ref added = execute_fetchall(conn, kAddOne.get(), params.get());
            if (count_of(added.get()) != 0) return;  // added, or no count to tell
        } catch (const PyErrorAlreadySet&) {
            if (!pending_error_is_stored_id()) throw;
            PyErr_Clear();
        }
    }
    Ref written = execute_fetchall(conn, kWriteOne.get(), row);
    if (count_of(written.get()) == 0) raise_other_fact_stored(fact_id);
}

}  // namespace kg
