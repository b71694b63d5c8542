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
#pragma once

#include "core/pyref.hpp"

namespace kg {

// The clause that replaces only the row of the same fact; a statement that
// ends with it returns the number of rows it added or replaced.
#define KG_SAME_FACT_CONFLICT_CLAUSE                                                              \
    " ON CONFLICT (id) DO UPDATE SET created_at = excluded.created_at, metadata = excluded.metadata" \
    " WHERE facts.subject = excluded.subject AND facts.predicate = excluded.predicate"             \
    " AND facts.obj = excluded.obj AND facts.user_id = excluded.user_id"                           \
    " AND facts.org_id = excluded.org_id"

// Writes one row, [id, subject, predicate, obj, user_id, org_id,
// metadata_json], stamping created_at with the database's time. A refusal
// raises ValueError (raise_other_fact_stored). Only a count of 0 means
// refused: a result without a count (a connection a host replaced) counts
// as written.
void write_fact_row(PyObject* conn, PyObject* row, PyObject* fact_id);

// ValueError: `fact_id` is stored for another fact; nothing was written.
// Names the id by its first 12 characters, never the other fact's values.
[[noreturn]] void raise_other_fact_stored(PyObject* fact_id);

// The first value of the first row of a fetched result, or null.
PyObject* first_value(PyObject* rows);

}  // namespace kg
