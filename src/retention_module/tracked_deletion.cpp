// The whole course runs under the connection lock: no statement of another
// thread lands between the deletion and the reading of the pending ids (so
// that comparing their transaction ids tells the caller's transaction from
// two transactions of their own), nor between that reading and the removal
// of the delivered ids (so that a fact written again meanwhile is never
// stripped of its new document). Threads that want the lock meanwhile wait
// without the GIL, the vector store's call included.
#include "retention_module/tracked_deletion.hpp"

#include "core/conn_lock.hpp"
#include "core/connection.hpp"
#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/py.hpp"
#include "retention_module/pending_deletions.hpp"
#include "retention_module/vector_delete.hpp"

namespace kg::retention {
namespace {

const StaticString kInfoDeferred{
    "retention.%s: inside a transaction open on graph.conn: %d ids stay pending until it commits and reconcile delivers "
    "them"};
const StaticString kFacts{"facts"};
const StaticString kDocuments{"documents"};
const StaticString kPending{"pending"};

bool same(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

Delivery deliver_and_settle(PyObject* graph, const char* function, PyObject* conn, const PendingIds& pending) {
    const Py_ssize_t delivered = deliver(graph, function, pending.deliverable.get());
    remove_settled(conn, pending, delivered);
    return {delivered, PyList_GET_SIZE(pending.deliverable.get()) - delivered};
}

}  // namespace

DeletionOutcome delete_and_deliver(PyObject* graph, const char* function, PyObject* statement, PyObject* params) {
    Ref conn = py::attr(graph, names().conn);
    ConnLock::Guard whole_course(state().conn_lock);
    ensure_pending_table(conn.get());
    Ref deleted = first_row(execute_fetchall(conn.get(), statement, params).get(), 2, function);
    Ref facts = Ref::borrow(PyTuple_GET_ITEM(deleted.get(), 0));
    if (!PyLong_Check(facts.get())) {
        raise(PyExc_TypeError, "%s: the deleting statement counted %.200s, not int", function,
              Py_TYPE(facts.get())->tp_name);
    }
    PendingIds pending = read_pending(conn.get(), false);
    if (same(PyTuple_GET_ITEM(deleted.get(), 1), pending.transaction.get())) {
        Logger logger = Logger::current();
        if (logger.enabled(LogLevel::Info)) {
            logger.write(LogLevel::Info, kInfoDeferred,
                         {py::str(function).get(), py::integer(pending.count()).get()});
        }
        return {std::move(facts), {0, pending.count()}};
    }
    // The ids this statement queued belong to facts that cannot have been
    // written again (the lock is held since); only when more ids are pending
    // than it deleted are earlier ones among them.
    const Py_ssize_t queued_now = PyLong_AsSsize_t(facts.get());
    if (queued_now == -1 && PyErr_Occurred()) throw_error_already_set();
    if (pending.count() > queued_now) pending = read_pending(conn.get(), true);
    return {std::move(facts), deliver_and_settle(graph, function, conn.get(), pending)};
}

Delivery deliver_pending(PyObject* graph, const char* function) {
    Ref conn = py::attr(graph, names().conn);
    ConnLock::Guard whole_course(state().conn_lock);
    Ref before = current_transaction(conn.get());
    if (!before) raise(PyExc_TypeError, "%s: current_transaction_id() returned no row", function);
    ensure_pending_table(conn.get());
    PendingIds pending = read_pending(conn.get(), true);
    if (same(before.get(), pending.transaction.get())) {
        raise(PyExc_RuntimeError,
              "%s() cannot deliver inside a transaction open on graph.conn: commit or roll it back first", function);
    }
    return deliver_and_settle(graph, function, conn.get(), pending);
}

Ref deletion_result(const DeletionOutcome& outcome) {
    Ref result = Ref::steal(PyDict_New());
    check(PyDict_SetItem(result.get(), kFacts.get(), outcome.facts.get()));
    check(PyDict_SetItem(result.get(), kDocuments.get(), py::integer(outcome.documents.delivered).get()));
    check(PyDict_SetItem(result.get(), kPending.get(), py::integer(outcome.documents.pending).get()));
    return result;
}

}  // namespace kg::retention
