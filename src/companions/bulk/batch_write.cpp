#include "companions/bulk/batch_write.hpp"

#include "store/core/conn_lock.hpp"
#include "store/core/connection.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/writing/fact_row.hpp"

namespace kg::bulk {
namespace {

// One list parameter per column, unnested side by side; created_at is the
// database's time, as for a single upsert.
#define KG_BATCH_ROWS \
    "SELECT unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), current_timestamp, unnest(?)::JSON"

// The adding statement only adds rows and is refused whole when one of its
// ids is stored already; it costs the engine about half what the replacing
// statement costs per row (less still as the table grows). As for a single
// row (store/writing/fact_row.hpp), it adds nothing in the caller's transaction.
// A FROM-less SELECT's WHERE is tested once, before anything is unnested.
const StaticString kAddRows{"INSERT INTO facts " KG_BATCH_ROWS KG_OUTSIDE_THAT_TRANSACTION};
// Adds new ids and replaces the rows of the same facts; counts both.
const StaticString kWriteRows{"INSERT INTO facts " KG_BATCH_ROWS KG_SAME_FACT_CONFLICT_CLAUSE};
const StaticString kBegin{"BEGIN TRANSACTION"};
const StaticString kCommit{"COMMIT"};
const StaticString kRollback{"ROLLBACK"};

// The first of the batch's distinct facts whose id is stored for another
// fact, by its index, or no row. The last parameter is the number of facts.
const StaticString kFirstOtherFact{
    "SELECT b.slot FROM (SELECT unnest(?) AS id, unnest(?) AS subject, unnest(?) AS predicate, unnest(?) AS obj, "
    "unnest(?) AS user_id, unnest(?) AS org_id, unnest(range(?)) AS slot) b JOIN facts f ON f.id = b.id "
    "WHERE NOT coalesce(f.subject = b.subject AND f.predicate = b.predicate AND f.obj = b.obj "
    "AND f.user_id = b.user_id AND f.org_id = b.org_id, false) ORDER BY b.slot LIMIT 1"};

const StaticString kFirstInvalidJson{"SELECT list_position(list_transform(?, lambda m: json_valid(m)), false)"};

Ref columns_with(const FactBatch& batch, std::size_t count, PyObject* extra) {
    Ref columns = batch.column_lists();
    Ref params = Ref::steal(PyList_GetSlice(columns.get(), 0, static_cast<Py_ssize_t>(count)));
    check(PyList_Append(params.get(), extra));
    return params;
}

Py_ssize_t first_other_fact(PyObject* conn, const FactBatch& batch) {
    Ref params = columns_with(batch, 6, py::integer(batch.distinct_count()).get());
    Ref rows = execute_fetchall(conn, kFirstOtherFact.get(), params.get());
    return position_of(rows.get(), batch.distinct_count(), "the query for a stored id of another fact");
}

// Rolls the own transaction back; the error that led here stays pending.
void roll_back(PyObject* conn) {
    with_pending_error_aside([&] { execute(conn, kRollback.get()); });
}

void write_in_own_transaction(PyObject* conn, const FactBatch& batch, RowsOutcome& outcome) {
    Ref columns = batch.column_lists();
    execute(conn, kBegin.get());
    try {
        Ref rows = execute_fetchall(conn, kWriteRows.get(), columns.get());
        const Py_ssize_t written = count_of(rows.get());
        if (written >= 0 && written < batch.distinct_count()) {
            execute(conn, kRollback.get());
            outcome.other_fact_stored = first_other_fact(conn, batch);
            return;
        }
        execute(conn, kCommit.get());
    } catch (const PyErrorAlreadySet&) {
        roll_back(conn);
        throw;
    }
    outcome.rows_may_stand = true;
}

// In the caller's transaction a failed statement would abort it, so the
// stored ids are compared before anything is written; the connection lock,
// held throughout, keeps the store's other statements out in between.
void write_in_callers_transaction(PyObject* conn, const FactBatch& batch, RowsOutcome& outcome) {
    if (const Py_ssize_t other = first_other_fact(conn, batch); other >= 0) {
        outcome.other_fact_stored = other;
        return;
    }
    Ref columns = batch.column_lists();
    Ref rows = execute_fetchall(conn, kWriteRows.get(), columns.get());
    outcome.rows_may_stand = true;
    const Py_ssize_t written = count_of(rows.get());
    if (written >= 0 && written < batch.distinct_count()) {
        outcome.nothing_written = false;
        outcome.other_fact_stored = first_other_fact(conn, batch);
    }
}

}  // namespace

void write_rows(PyObject* conn, const FactBatch& batch, RowsOutcome& outcome) {
    ConnLock::Guard whole_write(state().conn_lock);
    Ref transaction = current_transaction(conn);
    if (!transaction) return write_in_callers_transaction(conn, batch, outcome);

    Ref params = columns_with(batch, 7, transaction.get());
    Ref added;
    try {
        added = execute_fetchall(conn, kAddRows.get(), params.get());
    } catch (const PyErrorAlreadySet&) {
        if (!pending_error_is_stored_id()) throw;
        PyErr_Clear();
        return write_in_own_transaction(conn, batch, outcome);
    }
    // Nothing added, no error: the statement ran in the caller's transaction.
    if (count_of(added.get()) == 0) return write_in_callers_transaction(conn, batch, outcome);
    outcome.rows_may_stand = true;
}

Py_ssize_t first_invalid_json(PyObject* conn, const FactBatch& batch) {
    Py_ssize_t position = -1;
    with_pending_error_aside([&] {
        Ref params = py::list({batch.metadata_jsons().get()});
        Ref rows = execute_fetchall(conn, kFirstInvalidJson.get(), params.get());
        const Py_ssize_t slot = position_of(rows.get(), batch.distinct_count(), "the query for invalid JSON", 1);
        if (slot >= 0) position = batch.input_position(slot);
    });
    return position;
}

}  // namespace kg::bulk
