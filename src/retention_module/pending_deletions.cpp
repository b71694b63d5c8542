#include "retention_module/pending_deletions.hpp"

#include "core/connection.hpp"
#include "core/py.hpp"

namespace kg::retention {
namespace {

// No primary key: its index would make queueing and removing the ids of a
// large purge cost about half as much again as the purge itself. The
// queueing statement keeps the ids unique, and every write of the table
// runs under the connection lock.
const StaticString kCreate{
    "CREATE TABLE IF NOT EXISTS pending_vector_deletions (id TEXT, queued_at TIMESTAMP)"};
const StaticString kRead{"SELECT current_transaction_id(), list(id ORDER BY id), [] FROM pending_vector_deletions"};
// Reads every id of the facts table: asked only when some pending id may
// belong to a fact written again.
const StaticString kReadChecked{
    "SELECT current_transaction_id(),\n"
    "       list(p.id ORDER BY p.id) FILTER (WHERE f.id IS NULL),\n"
    "       list(p.id ORDER BY p.id) FILTER (WHERE f.id IS NOT NULL)\n"
    "FROM pending_vector_deletions p LEFT JOIN facts f ON f.id = p.id"};
// The delivered ids are a prefix of the ascending list, so one bound names
// them all; a rewritten id beyond it is named on its own.
const StaticString kRemove{"DELETE FROM pending_vector_deletions WHERE id <= ? OR list_contains(?::TEXT[], id)"};

// A list of ids of our own (a replaced connection may keep and change the
// one it returned), or an empty list for the NULL of no rows.
Ref id_list(PyObject* value) {
    if (value == Py_None) return Ref::steal(PyList_New(0));
    if (!PyList_Check(value)) {
        raise(PyExc_TypeError, "pending_vector_deletions: expected a list of ids, got %.200s",
              Py_TYPE(value)->tp_name);
    }
    return Ref::steal(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
}

}  // namespace

Ref first_row(PyObject* rows, Py_ssize_t width, const char* what) {
    Ref all = Ref::steal(PySequence_List(rows));
    if (PyList_GET_SIZE(all.get()) == 0) raise(PyExc_TypeError, "%s returned no row", what);
    Ref row = Ref::steal(PySequence_Tuple(PyList_GET_ITEM(all.get(), 0)));
    if (PyTuple_GET_SIZE(row.get()) != width) {
        raise(PyExc_TypeError, "%s returned a row of %zd values, expected %zd", what, PyTuple_GET_SIZE(row.get()),
              width);
    }
    return row;
}

void ensure_pending_table(PyObject* conn) { execute(conn, kCreate.get()); }

Py_ssize_t PendingIds::count() const {
    return PyList_GET_SIZE(deliverable.get()) + PyList_GET_SIZE(rewritten.get());
}

PendingIds read_pending(PyObject* conn, bool set_rewritten_apart) {
    PyObject* query = set_rewritten_apart ? kReadChecked.get() : kRead.get();
    Ref row = first_row(execute_fetchall(conn, query, nullptr).get(), 3, "the pending ids' query");
    return PendingIds{Ref::borrow(PyTuple_GET_ITEM(row.get(), 0)), id_list(PyTuple_GET_ITEM(row.get(), 1)),
                      id_list(PyTuple_GET_ITEM(row.get(), 2))};
}

void remove_settled(PyObject* conn, const PendingIds& pending, Py_ssize_t delivered) {
    if (delivered == 0 && PyList_GET_SIZE(pending.rewritten.get()) == 0) return;
    PyObject* last = delivered > 0 ? PyList_GET_ITEM(pending.deliverable.get(), delivered - 1) : Py_None;
    Ref params = py::list({last, pending.rewritten.get()});
    execute(conn, kRemove.get(), params.get());
}

}  // namespace kg::retention
