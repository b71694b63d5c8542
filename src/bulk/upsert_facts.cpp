// upsert_facts(graph, facts): many facts at once, each stored as
// graph.upsert_fact would store it. Every fact is checked and prepared
// before anything is written, so a refused fact leaves the table as it was;
// the rows then go in with one statement that the engine applies whole or
// not at all, and the documents follow once the rows are in.
#include "bulk/upsert_facts.hpp"

#include "bulk/batch_mirror.hpp"
#include "bulk/fact_batch.hpp"
#include "core/companion.hpp"
#include "core/conn_lock.hpp"
#include "core/connection.hpp"
#include "core/module_state.hpp"
#include "core/py.hpp"
#include "writing/fact_parts.hpp"

namespace kg::bulk {
namespace {

// One list parameter per column, unnested side by side; created_at is the
// database's time, as for a single upsert. The adding statement only adds
// rows, and is refused whole when one of its ids is stored already; the
// replacing statement costs the engine about twice as much per row (more as
// the table grows). The adding statement's last parameter is the id of a
// transaction that ended before it, so that it adds nothing when it runs in
// that same transaction, which is then the caller's (outside one, the
// engine gives every statement a transaction of its own). A FROM-less
// SELECT's WHERE is tested once, before anything is unnested.
const StaticString kAddRows{
    "INSERT INTO facts SELECT unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), "
    "current_timestamp, unnest(?)::JSON WHERE current_transaction_id() <> ?"};
const StaticString kAddOrReplaceRows{
    "INSERT OR REPLACE INTO facts SELECT unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), "
    "current_timestamp, unnest(?)::JSON"};
const StaticString kTransactionId{"SELECT current_transaction_id()"};

// The first value of the first row of a statement's result, or null.
PyObject* first_value(PyObject* rows) {
    if (!PyList_Check(rows) || PyList_GET_SIZE(rows) == 0) return nullptr;
    PyObject* row = PyList_GET_ITEM(rows, 0);
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) == 0) return nullptr;
    return PyTuple_GET_ITEM(row, 0);
}

// Writes the rows of the batch as one transaction, holding the connection
// lock from the question for the transaction id to the end of the write, so
// that no other statement of the store lands in between. Outside the
// caller's transaction the adding statement commits every row or, when an
// id is stored already (or anything else fails), none, and the replacing
// statement then writes the call or raises the real error. In the caller's
// transaction the adding statement adds nothing and cannot fail (a failed
// statement would abort that transaction), and the replacing one writes.
void write_rows(PyObject* conn, const FactBatch& batch) {
    ConnLock::Guard whole_write(state().conn_lock);
    Ref columns = batch.column_lists();
    try {
        Ref earlier = execute_fetchall(conn, kTransactionId.get(), nullptr);
        PyObject* transaction = first_value(earlier.get());
        if (transaction != nullptr) {
            Ref params = Ref::steal(PyList_GetSlice(columns.get(), 0, PY_SSIZE_T_MAX));
            check(PyList_Append(params.get(), transaction));
            Ref added = execute_fetchall(conn, kAddRows.get(), params.get());
            PyObject* count = first_value(added.get());
            if (count != nullptr && PyLong_Check(count) && PyLong_AsSsize_t(count) > 0) return;
            if (PyErr_Occurred()) throw_error_already_set();
        }
    } catch (const PyErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    execute(conn, kAddOrReplaceRows.get(), columns.get());
}

const StaticString kFirstInvalidJson{
    "SELECT list_position(list_transform(?, lambda m: json_valid(m)), false)"};

// The position in `facts` of the first fact whose metadata text the
// database does not take as JSON, or -1. Asked only after the write failed;
// a failure of the question itself (the caller's transaction may now be
// aborted) answers -1 and leaves the write's error as it was.
Py_ssize_t first_invalid_json(PyObject* conn, const FactBatch& batch) {
    PyObject* pending = PyErr_GetRaisedException();
    Py_ssize_t position = -1;
    try {
        Ref params = py::list({batch.metadata_jsons()});
        Ref rows = execute_fetchall(conn, kFirstInvalidJson.get(), params.get());
        PyObject* index = first_value(rows.get());
        const Py_ssize_t one_based = index != nullptr && PyLong_Check(index) ? PyLong_AsSsize_t(index) : 0;
        if (one_based > 0 && one_based <= batch.distinct_count()) position = batch.input_position(one_based - 1);
    } catch (const PyErrorAlreadySet&) {
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return position;
}

// Adds to the pending database error a note that the call wrote nothing,
// naming the fact at fault when the database can tell.
[[noreturn]] void rethrow_write_failure(PyObject* conn, const FactBatch& batch) {
    const Py_ssize_t culprit = first_invalid_json(conn, batch);
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref note = culprit >= 0
                   ? Ref::steal(PyUnicode_FromFormat(
                         "facts[%zd]: the database refuses its metadata as JSON; no row of this upsert_facts call "
                         "was written",
                         culprit))
                   : py::str("upsert_facts: the statement writing this call's rows failed; no row of it was written");
    Ref added = Ref::steal_nullable(PyObject_CallMethodOneArg(exception.get(), names().add_note, note.get()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    throw_error_already_set();
}

}  // namespace

Ref upsert_facts(const UpsertFactsArgs& args) {
    check_started_store(args.graph, "upsert_facts");
    FactBatch batch = FactBatch::collect(args.graph, args.facts);
    if (batch.distinct_count() == 0) return batch.ids_in_input_order();

    {
        Ref conn = py::attr(args.graph, names().conn);
        try {
            write_rows(conn.get(), batch);
        } catch (const PyErrorAlreadySet&) {
            rethrow_write_failure(conn.get(), batch);
        }
    }
    mirror_batch(args.graph, batch);
    return batch.ids_in_input_order();
}

}  // namespace kg::bulk
