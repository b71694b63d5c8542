// The row of a fact and the rule that writes it: a new id adds a row, the
// id of the same fact (subject, predicate, object, user and organisation
// all equal) replaces its metadata and moves its `created_at`, and the id of
// a different fact is refused, leaving the stored row as it was.
//
// Ids do not separate their parts (user "1" of org "23" and user "12" of
// org "3" give one id for the same triple), so without the rule a write
// would silently take over another fact's row, across organisations too.
// The conflict is found through the primary key, so the guard costs the same
// whatever the size of the table.
//
// The statement that replaces only the same fact costs the engine more than
// twice a plain INSERT of a new row (the conflict path is planned and run for
// every row). So new rows go in with a plain INSERT first, one that adds
// nothing inside a transaction of the caller's, where a failed statement
// would abort the transaction: its last parameter is the id of a
// transaction that ended before it, which only the caller's transaction,
// still open, would match. The engine's refusal of a stored id (and only
// that: an interrupted statement is never retried) leads to the replacing
// statement; so does an INSERT that added nothing.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// The clause that replaces only the row of the same fact; a statement that
// ends with it returns the number of rows it added or replaced.
#define KG_SAME_FACT_CONFLICT_CLAUSE                                                              \
    " ON CONFLICT (id) DO UPDATE SET created_at = excluded.created_at, metadata = excluded.metadata" \
    " WHERE facts.subject = excluded.subject AND facts.predicate = excluded.predicate"             \
    " AND facts.obj = excluded.obj AND facts.user_id = excluded.user_id"                           \
    " AND facts.org_id = excluded.org_id"

// The condition that makes an adding statement add nothing in the caller's
// transaction; its parameter is what current_transaction() returned.
#define KG_OUTSIDE_THAT_TRANSACTION " WHERE current_transaction_id() <> ?"

// Writes one row, [id, subject, predicate, obj, user_id, org_id,
// metadata_json], stamping created_at with the database's time, under the
// connection lock. A refusal raises ValueError (raise_other_fact_stored).
// Only a count of 0 from the replacing statement means refused: a result
// without a count (a connection a host replaced) counts as written.
void write_fact_row(PyObject* conn, PyObject* row, PyObject* fact_id);

// ValueError: `fact_id` is stored for another fact; nothing was written.
// Names the id by its first 12 characters, never the other fact's values.
[[noreturn]] void raise_other_fact_stored(PyObject* fact_id);

// Whether the pending error is the engine's refusal of a stored id; the
// error stays pending.
bool pending_error_is_stored_id();

}  // namespace kg
