// upsert_facts(graph, facts): many facts in one statement, each stored as
// graph.upsert_fact would store it. Every fact is checked and prepared
// before anything is written, so a refused fact leaves the table as it was;
// the rows then go in with one statement, which the engine applies whole or
// not at all, and the documents follow once the rows are in.
#include "bulk/upsert_facts.hpp"

#include "bulk/batch_mirror.hpp"
#include "bulk/fact_batch.hpp"
#include "core/connection.hpp"
#include "core/module_state.hpp"
#include "core/py.hpp"
#include "core/store_class.hpp"
#include "writing/fact_parts.hpp"

namespace kg::bulk {
namespace {

// The store the facts go to: a DuckSqliteGraph whose start-up succeeded.
void check_started_store(PyObject* graph) {
    if (!PyObject_TypeCheck(graph, reinterpret_cast<PyTypeObject*>(state().store_class))) {
        raise(PyExc_TypeError, "upsert_facts() argument 'graph' must be %s, not %.200s", kStoreClassName,
              Py_TYPE(graph)->tp_name);
    }
    PyObject* flag = nullptr;
    const bool has_flag = check(PyObject_GetOptionalAttr(graph, names()._initialized, &flag)) != 0;
    Ref owned = Ref::steal_nullable(flag);
    if (!has_flag || !py::truthy(owned.get())) {
        raise(PyExc_ValueError, "upsert_facts() needs a started %s: its start-up has not succeeded",
              kStoreClassName);
    }
}

// Adds to the pending database error a note that the call wrote nothing.
[[noreturn]] void rethrow_write_failure() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref note = py::str("upsert_facts: the statement writing this call's rows failed; none of them was written");
    Ref added = Ref::steal_nullable(PyObject_CallMethodOneArg(exception.get(), names().add_note, note.get()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    throw_error_already_set();
}

}  // namespace

Ref upsert_facts(const UpsertFactsArgs& args) {
    check_started_store(args.graph);
    FactBatch batch = FactBatch::collect(args.graph, args.facts);
    if (batch.distinct_count() == 0) return batch.ids_in_input_order();

    {
        Ref conn = py::attr(args.graph, names().conn);
        Ref columns = batch.column_lists();
        try {
            execute(conn.get(), insert_columns_statement(), columns.get());
        } catch (const PyErrorAlreadySet&) {
            rethrow_write_failure();
        }
    }
    mirror_batch(args.graph, batch);
    return batch.ids_in_input_order();
}

}  // namespace kg::bulk
