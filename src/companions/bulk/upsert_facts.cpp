// upsert_facts(graph, facts): many facts at once, each stored as
// graph.upsert_fact would store it. Every fact is checked and prepared
// before anything is written, so a refused fact leaves the table as it was;
// the rows then go in all together or not at all (batch_write.hpp), and the
// documents follow once the rows are in.
#include "companions/bulk/upsert_facts.hpp"

#include "companions/bulk/batch_mirror.hpp"
#include "companions/bulk/batch_write.hpp"
#include "companions/bulk/fact_batch.hpp"
#include "store/core/companion.hpp"
#include "store/core/conn_lock.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/outbox/delivery.hpp"
#include "store/writing/fact_row.hpp"

#include <optional>

namespace kg::bulk {
namespace {

// Adds to the pending database error a note that the call wrote nothing,
// naming the fact at fault when the database can tell, unless a statement
// that wrote rows of the call had succeeded before the error.
[[noreturn]] void rethrow_write_failure(PyObject* conn, const FactBatch& batch, const RowsOutcome& outcome) {
    if (!pending_error_is_exception() || outcome.rows_may_stand) throw_error_already_set();
    const Py_ssize_t culprit = first_invalid_json(conn, batch);
    Ref note = culprit >= 0
                   ? Ref::steal(PyUnicode_FromFormat(
                         "facts[%zd]: the database refuses its metadata as JSON; no row of this upsert_facts call "
                         "was written",
                         culprit))
                   : py::str("upsert_facts: the statement writing this call's rows failed; no row of it was written");
    rethrow_with_note(note.get());
}

[[noreturn]] void refuse_other_fact_stored(const FactBatch& batch, const RowsOutcome& outcome) {
    const Py_ssize_t slot = outcome.other_fact_stored;
    try {
        raise_other_fact_stored(PyList_GET_ITEM(batch.fact_ids(), slot));
    } catch (const PyErrorAlreadySet&) {
        const Py_ssize_t position = batch.input_position(slot);
        Ref note = outcome.nothing_written
                       ? Ref::steal(PyUnicode_FromFormat(
                             "facts[%zd] was refused; nothing of this upsert_facts call was written", position))
                       : Ref::steal(PyUnicode_FromFormat(
                             "facts[%zd] was refused; rows of this upsert_facts call before it may stand in the "
                             "open transaction",
                             position));
        rethrow_with_note(note.get());
    }
}

}  // namespace

Ref upsert_facts(const UpsertFactsArgs& args) {
    check_started_store(args.graph, "upsert_facts");
    FactBatch batch = FactBatch::collect(args.graph, args.facts);
    if (batch.distinct_count() == 0) return batch.ids_in_input_order();

    std::optional<outbox::DocumentTraffic::Mirror> mirror;
    {
        Ref conn = py::attr(args.graph, names().conn);
        ConnLock::Guard writing(state().conn_lock);
        RowsOutcome outcome;
        try {
            write_rows(conn.get(), batch, outcome);
        } catch (const PyErrorAlreadySet&) {
            rethrow_write_failure(conn.get(), batch, outcome);
        }
        if (outcome.other_fact_stored >= 0) refuse_other_fact_stored(batch, outcome);
        mirror.emplace(outbox::traffic(), batch.fact_ids());
    }
    mirror->wait_for_deletes();
    mirror_batch(args.graph, batch);
    outbox::finish_mirror(args.graph, "upsert_facts", *mirror);
    return batch.ids_in_input_order();
}

}  // namespace kg::bulk
