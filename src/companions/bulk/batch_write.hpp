// The statements that write the rows of a batch: all of them, or none.
#pragma once

#include "companions/bulk/fact_batch.hpp"

namespace kg::bulk {

// What became of the rows of a batch.
struct RowsOutcome {
    // -1 when every row is written; otherwise the index (among the batch's
    // distinct facts) of one whose id is stored for another fact.
    Py_ssize_t other_fact_stored = -1;
    // With a refusal: whether nothing of the batch was written. Only a write
    // inside a transaction of the caller's that another connection of the
    // process changed under it could leave some rows written.
    bool nothing_written = true;
    // Whether a statement that writes rows of the batch has succeeded: an
    // error raised after it leaves them standing.
    bool rows_may_stand = false;
};

// Writes the batch's rows under the connection lock. New ids go in with a
// plain INSERT; a batch with stored ids replaces the rows of the same facts
// in a transaction of its own, which a stored id of another fact rolls back.
// Inside the caller's transaction the stored ids are compared first. A
// database error (an interrupted statement included) unwinds; `outcome`
// then says whether rows of the batch may stand.
void write_rows(PyObject* conn, const FactBatch& batch, RowsOutcome& outcome);

// The position in `facts` of the first fact whose metadata text the
// database does not take as JSON, or -1. Asked to explain the pending error
// of a failed write, which stays pending (handled_errors.hpp).
Py_ssize_t first_invalid_json(PyObject* conn, const FactBatch& batch);

}  // namespace kg::bulk
