// The vector-store deletions still to deliver: a table in the store's own
// database, so that a fact's row and the record that its document must go
// commit together, and a crash or a failing vector store loses nothing.
#pragma once

#include "store/core/pyref.hpp"

namespace kg::outbox {

// A statement that deletes the facts matching `condition` and queues their
// ids in the same statement, hence in one transaction. Its one row holds the
// number of facts deleted and the id of its transaction. An id queued
// already is not queued twice.
#define KG_DELETE_AND_QUEUE(condition)                                                          \
    "WITH gone AS (DELETE FROM facts WHERE " condition " RETURNING id),\n"                      \
    "queued AS (\n"                                                                             \
    "    INSERT INTO pending_vector_deletions\n"                                                \
    "    SELECT id, current_timestamp FROM gone\n"                                              \
    "    WHERE NOT EXISTS (SELECT 1 FROM pending_vector_deletions p WHERE p.id = gone.id)\n"    \
    ")\n"                                                                                       \
    "SELECT count(*), current_transaction_id() FROM gone"

// Creates the table when it is missing.
void ensure_pending_table(PyObject* conn);

// The pending ids as one statement sees them, all of them or those among
// `scope` (a list of ids). With `set_rewritten_apart`, the ids whose fact
// is in the table again are set apart (a join that reads every id of the
// facts table); without, all are deliverable.
struct PendingIds {
    Ref transaction;  // the id of that statement's transaction
    Ref deliverable;  // ids, ascending (a list of our own)
    // Ids whose fact has been written again since it was deleted: the
    // document under that id is the new fact's, so it must stay.
    Ref rewritten;
    bool whole_table;  // read without a scope
    Py_ssize_t count() const;
};
PendingIds read_pending(PyObject* conn, bool set_rewritten_apart, PyObject* scope = nullptr);

// Removes `delivered` (a list of ids) from the table, and those of
// `if_rewritten` whose fact stands in the table now: a fact deleted again
// after it was written keeps its id pending. Returns how many it removed.
Py_ssize_t remove_settled(PyObject* conn, PyObject* delivered, PyObject* if_rewritten);

// Removes the ids from `low` to `high` (as the engine orders text) but
// `except` (a list). Returns how many it removed.
Py_ssize_t remove_range(PyObject* conn, PyObject* low, PyObject* high, PyObject* except);

// Queues those of `ids` that have no row and are not pending yet.
void queue_rowless(PyObject* conn, PyObject* ids);

// Those of `ids` (a list) that are pending, ascending (a list of our own).
Ref pending_among(PyObject* conn, PyObject* ids);

// The first row of a statement's rows as a tuple of `width` values; rows of
// another shape raise TypeError naming `what`.
Ref first_row(PyObject* rows, Py_ssize_t width, const char* what);

}  // namespace kg::outbox
