#include "store/outbox/pending_table.hpp"

#include "store/core/connection.hpp"
#include "store/core/py.hpp"

#include <algorithm>

namespace kg::outbox {
namespace {

// No primary key: its index would make queueing and removing the ids of a
// large purge cost about half as much again as the purge itself. The
// queueing statements keep the ids unique, and every write of the table
// runs under the connection lock.
const StaticString kCreate{
    "CREATE TABLE IF NOT EXISTS pending_vector_deletions (id TEXT, queued_at TIMESTAMP)"};
const StaticString kRead{"SELECT current_transaction_id(), list(id ORDER BY id), [] FROM pending_vector_deletions"};
// Reads every id of the facts table: asked only when some pending id may
// belong to a fact written again.
#define KG_READ_CHECKED                                                           \
    "SELECT current_transaction_id(),\n"                                          \
    "       list(p.id ORDER BY p.id) FILTER (WHERE f.id IS NULL),\n"              \
    "       list(p.id ORDER BY p.id) FILTER (WHERE f.id IS NOT NULL)\n"           \
    "FROM pending_vector_deletions p LEFT JOIN facts f ON f.id = p.id"
const StaticString kReadChecked{KG_READ_CHECKED};
const StaticString kReadScoped{KG_READ_CHECKED "\nWHERE p.id IN (SELECT unnest(?::TEXT[]))"};
const StaticString kRemove{"DELETE FROM pending_vector_deletions WHERE id IN (SELECT unnest(?::TEXT[]))"};
// The same for a run of the ascending ids, at a fraction of the cost: the
// engine compares each id with two bounds instead of joining a list.
const StaticString kRemoveRange{
    "DELETE FROM pending_vector_deletions WHERE id >= ? AND id <= ? AND NOT list_contains(?::TEXT[], id)"};
// Reads every id of the facts table: asked only when some ids to remove may
// belong to a fact written again.
const StaticString kRemoveChecked{
    "DELETE FROM pending_vector_deletions WHERE id IN (SELECT unnest(?::TEXT[]))\n"
    "OR (id IN (SELECT unnest(?::TEXT[])) AND id IN (SELECT id FROM facts))"};
const StaticString kQueueRowless{
    "INSERT INTO pending_vector_deletions\n"
    "SELECT DISTINCT i.id, current_timestamp FROM (SELECT unnest(?::TEXT[]) AS id) i\n"
    "WHERE NOT EXISTS (SELECT 1 FROM facts f WHERE f.id = i.id)\n"
    "AND NOT EXISTS (SELECT 1 FROM pending_vector_deletions p WHERE p.id = i.id)"};
// Reads the pending table alone.
const StaticString kPendingAmong{
    "SELECT list(id ORDER BY id) FROM pending_vector_deletions WHERE id IN (SELECT unnest(?::TEXT[]))"};

// A list of ids of our own (a replaced connection may keep and change the
// one it returned), or an empty list for the NULL of no rows.
Ref id_list(PyObject* value) {
    if (value == Py_None) return Ref::steal(PyList_New(0));
    if (!PyList_Check(value)) {
        raise(PyExc_TypeError, "pending_vector_deletions: expected a list of ids, got %.200s",
              Py_TYPE(value)->tp_name);
    }
    Ref ids = py::copy_list(value);
    const Py_ssize_t count = PyList_GET_SIZE(ids.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* id = PyList_GET_ITEM(ids.get(), i);
        if (!PyUnicode_Check(id)) {
            raise(PyExc_TypeError, "pending_vector_deletions: expected ids of type str, got %.200s",
                  Py_TYPE(id)->tp_name);
        }
    }
    return ids;
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

PendingIds read_pending(PyObject* conn, bool set_rewritten_apart, PyObject* scope) {
    Ref rows;
    if (scope != nullptr) {
        Ref params = py::list({scope});
        rows = execute_fetchall(conn, kReadScoped.get(), params.get());
    } else {
        rows = execute_fetchall(conn, set_rewritten_apart ? kReadChecked.get() : kRead.get(), nullptr);
    }
    Ref row = first_row(rows.get(), 3, "the pending ids' query");
    return PendingIds{Ref::borrow(PyTuple_GET_ITEM(row.get(), 0)), id_list(PyTuple_GET_ITEM(row.get(), 1)),
                      id_list(PyTuple_GET_ITEM(row.get(), 2)), scope == nullptr};
}

Py_ssize_t remove_settled(PyObject* conn, PyObject* delivered, PyObject* if_rewritten) {
    Ref rows;
    if (PyList_GET_SIZE(if_rewritten) > 0) {
        Ref params = py::list({delivered, if_rewritten});
        rows = execute_fetchall(conn, kRemoveChecked.get(), params.get());
    } else if (PyList_GET_SIZE(delivered) > 0) {
        Ref params = py::list({delivered});
        rows = execute_fetchall(conn, kRemove.get(), params.get());
    } else {
        return 0;
    }
    return std::max<Py_ssize_t>(0, count_of(rows.get()));
}

Py_ssize_t remove_range(PyObject* conn, PyObject* low, PyObject* high, PyObject* except) {
    Ref params = py::list({low, high, except});
    Ref rows = execute_fetchall(conn, kRemoveRange.get(), params.get());
    return std::max<Py_ssize_t>(0, count_of(rows.get()));
}

void queue_rowless(PyObject* conn, PyObject* ids) {
    Ref params = py::list({ids});
    execute(conn, kQueueRowless.get(), params.get());
}

Ref pending_among(PyObject* conn, PyObject* ids) {
    Ref params = py::list({ids});
    Ref row = first_row(execute_fetchall(conn, kPendingAmong.get(), params.get()).get(), 1, "the pending ids' query");
    return id_list(PyTuple_GET_ITEM(row.get(), 0));
}

}  // namespace kg::outbox
