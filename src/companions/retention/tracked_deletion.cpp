// The deletion and the reading of the pending ids run in one hold of the
// connection lock: no statement of another thread lands between them, so
// that comparing their transaction ids tells the caller's transaction from
// two transactions of their own, and the ids read are claimed before any
// other delivery reads them. The vector store is called without the lock.
#include "companions/retention/tracked_deletion.hpp"

#include "store/core/conn_lock.hpp"
#include "store/core/connection.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

#include <optional>
#include <string>

namespace kg::retention {
namespace {

const StaticString kInfoDeferred{
    "retention.%s: inside a transaction open on graph.conn: %d ids stay pending until it commits and reconcile delivers "
    "them"};
const StaticString kFacts{"facts"};
const StaticString kDocuments{"documents"};
const StaticString kPending{"pending"};

}  // namespace

DeletionOutcome delete_and_deliver(PyObject* graph, const char* function, PyObject* statement, PyObject* params) {
    Ref conn = py::attr(graph, names().conn);
    const std::string label = std::string("retention.") + function;
    std::optional<outbox::PendingDelivery> delivery;
    Ref facts;
    {
        ConnLock::Guard claiming(state().conn_lock);
        outbox::ensure_pending_table(conn.get());
        Ref deleted = outbox::first_row(execute_fetchall(conn.get(), statement, params).get(), 2, function);
        facts = Ref::borrow(PyTuple_GET_ITEM(deleted.get(), 0));
        if (!PyLong_Check(facts.get())) {
            raise(PyExc_TypeError, "%s: the deleting statement counted %.200s, not int", function,
                  Py_TYPE(facts.get())->tp_name);
        }
        const Py_ssize_t deleted_now = PyLong_AsSsize_t(facts.get());
        if (deleted_now == -1 && PyErr_Occurred()) throw_error_already_set();
        if (deleted_now > 0) {
            outbox::traffic().deletion_ran();
            outbox::traffic().ids_queued();
        }

        outbox::PendingIds pending = outbox::read_pending(conn.get(), false);
        if (same_transaction(PyTuple_GET_ITEM(deleted.get(), 1), pending.transaction.get())) {
            Logger logger = Logger::current();
            if (logger.enabled(LogLevel::Info)) {
                logger.write(LogLevel::Info, kInfoDeferred,
                             {py::str(function).get(), py::integer(pending.count()).get()});
            }
            return {std::move(facts), {0, pending.count()}};
        }
        // The ids this statement queued belong to facts that cannot have been
        // written again (the lock is held since); only when more ids are
        // pending than it deleted are earlier ones among them.
        if (pending.count() > deleted_now) pending = outbox::read_pending(conn.get(), true);
        delivery.emplace(conn.get(), std::move(pending));
    }
    return {std::move(facts), delivery->run(graph, label.c_str())};
}

Ref deletion_result(const DeletionOutcome& outcome) {
    Ref result = Ref::steal(PyDict_New());
    check(PyDict_SetItem(result.get(), kFacts.get(), outcome.facts.get()));
    check(PyDict_SetItem(result.get(), kDocuments.get(), py::integer(outcome.documents.delivered).get()));
    check(PyDict_SetItem(result.get(), kPending.get(), py::integer(outcome.documents.pending).get()));
    return result;
}

}  // namespace kg::retention
