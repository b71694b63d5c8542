#include "companions/transactions/transaction.hpp"

#include "store/core/companion.hpp"
#include "store/core/connection.hpp"
#include "store/core/entry_point.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/outbox/delivery.hpp"

#include <cstdint>

namespace kg::transactions {
namespace {

const StaticString kBegin{"BEGIN TRANSACTION"};
const StaticString kCommit{"COMMIT"};
const StaticString kRollback{"ROLLBACK"};
constexpr const char* kLabel = "transactions.transaction";
const StaticString kWarnDelivery{
    "transactions.transaction: committed, but delivering its deletions failed (%r); the ids stay pending until "
    "reconcile delivers them"};

struct TransactionObject {
    PyObject_HEAD
    PyObject* graph;          // strong
    PyObject* conn;           // strong while open: the connection it began on
    PyObject* written_ids;    // strong while open: ids the block wrote
    unsigned long thread;     // the thread that entered it, while open
    std::uint64_t deletions;  // the store's deletion count when it began
    bool entered;             // once: a transaction object is used for one block
};

// Created once per process by the module's exec (strong, never released:
// the process state outlives the module, as the store's own does).
PyTypeObject* transaction_type = nullptr;

TransactionObject* as_transaction(PyObject* self) { return reinterpret_cast<TransactionObject*>(self); }

// Ends the open transaction: gives the lock back and forgets the block.
void close_block(TransactionObject* t) {
    outbox::traffic().end_transaction();
    t->thread = 0;
    state().conn_lock.leave();
}

Ref enter(TransactionObject* t) {
    if (outbox::traffic().transaction_open_on_this_thread()) {
        raise(PyExc_RuntimeError, "transaction(): a transaction is already open on this thread");
    }
    if (t->entered) raise(PyExc_RuntimeError, "transaction(): this transaction was entered already; make a new one");
    check_started_store(t->graph, "transaction");
    Ref conn = py::attr(t->graph, names().conn);
    Ref written = Ref::steal(PyList_New(0));

    state().conn_lock.enter();
    try {
        execute(conn.get(), kBegin.get());
    } catch (...) {
        state().conn_lock.leave();
        throw;
    }
    t->entered = true;
    t->thread = PyThread_get_thread_ident();
    t->deletions = outbox::traffic().deletions();
    t->written_ids = written.release();
    t->conn = conn.release();
    outbox::traffic().begin_transaction(t->written_ids);
    return Ref::borrow(reinterpret_cast<PyObject*>(t));
}

// Rolls back; the error that led here, if any, stays pending.
void roll_back(PyObject* conn) {
    with_pending_error_aside([&] { execute(conn, kRollback.get()); });
}

// Ends the block: COMMIT, or ROLLBACK when it raised (or the commit
// failed). Returns whether it committed; the lock is given back either way.
bool end_block(TransactionObject* t, PyObject* conn, bool commit) {
    try {
        if (commit) {
            try {
                execute(conn, kCommit.get());
                close_block(t);
                return true;
            } catch (const PyErrorAlreadySet&) {
                roll_back(conn);
                throw;
            }
        }
        execute(conn, kRollback.get());
    } catch (...) {
        close_block(t);
        throw;
    }
    close_block(t);
    return false;
}

// The block committed: its error would say otherwise, so a failed delivery
// is a warning, and the ids stay pending for reconcile.
void deliver_after_commit(PyObject* graph) {
    try {
        outbox::deliver_pending(graph, "transaction", kLabel);
    } catch (const PyErrorAlreadySet&) {
        Ref exception = take_pending_exception();
        Logger logger = Logger::current();
        if (logger.enabled(LogLevel::Warning)) logger.write(LogLevel::Warning, kWarnDelivery, {exception.get()});
    }
}

Ref exit(TransactionObject* t, PyObject* exc_type) {
    if (t->thread == 0) raise(PyExc_RuntimeError, "transaction(): this transaction is not open");
    if (t->thread != PyThread_get_thread_ident()) {
        raise(PyExc_RuntimeError, "transaction(): a transaction must end on the thread that entered it");
    }
    Ref written = Ref::steal(t->written_ids);
    t->written_ids = nullptr;
    Ref conn = Ref::steal(t->conn);
    t->conn = nullptr;
    const bool deleted = outbox::traffic().deletions() != t->deletions;
    // From here on the lock is given back: the vector store is called
    // without it.
    bool committed = false;
    try {
        committed = end_block(t, conn.get(), exc_type == Py_None);
    } catch (const PyErrorAlreadySet&) {
        // The commit failed and was rolled back: its error stays pending.
        if (PyList_GET_SIZE(written.get()) > 0) {
            with_pending_error_aside(
                [&] { outbox::withdraw_rowless(t->graph, kLabel, written.get(), /*queue=*/true); });
        }
        throw;
    }
    if (committed) {
        if (deleted) deliver_after_commit(t->graph);
    } else if (PyList_GET_SIZE(written.get()) > 0) {
        outbox::withdraw_rowless(t->graph, kLabel, written.get(), /*queue=*/true);
    }
    return py::boolean(false);
}

PyObject* transaction_enter(PyObject* self, PyObject* /*unused*/) {
    return object_entry_point([&] { return enter(as_transaction(self)); });
}

PyObject* transaction_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return object_entry_point([&] {
        if (nargs != 3) raise(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
        return exit(as_transaction(self), args[0]);
    });
}

// A transaction object dropped while open (entered, never exited) on the
// thread that holds it is rolled back; on another thread nothing can be
// done safely, and the lock stays held by its owner.
void transaction_dealloc(PyObject* self) {
    TransactionObject* t = as_transaction(self);
    if (t->thread != 0 && t->thread == PyThread_get_thread_ident()) {
        PyObject* pending = PyErr_GetRaisedException();
        const int status = status_entry_point([&] {
            try {
                execute(t->conn, kRollback.get());
            } catch (...) {
                close_block(t);
                throw;
            }
            close_block(t);
        });
        if (status < 0) PyErr_WriteUnraisable(self);
        PyErr_SetRaisedException(pending);
    }
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(t->graph);
    Py_XDECREF(t->conn);
    Py_XDECREF(t->written_ids);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef transaction_methods[] = {
    {"__enter__", transaction_enter, METH_NOARGS, "Begin the transaction; waits for the store's connection lock."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(transaction_exit)), METH_FASTCALL,
     "Commit, or roll back when the block raised; the exception propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot transaction_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(transaction_dealloc)},
    {Py_tp_methods, transaction_methods},
    {Py_tp_doc, const_cast<char*>("A transaction on a DuckSqliteGraph's connection that holds its lock; "
                                  "made by transaction(graph).")},
    {0, nullptr},
};

PyType_Spec transaction_spec = {
    .name = "corvanta.kgraph.providers.duckdb_sqlite.transactions.Transaction",
    .basicsize = sizeof(TransactionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = transaction_slots,
};

}  // namespace

void create_transaction_type(PyObject* module) {
    if (transaction_type == nullptr) {
        transaction_type = reinterpret_cast<PyTypeObject*>(
            Ref::steal(PyType_FromModuleAndSpec(module, &transaction_spec, nullptr)).release());
    }
    check(PyModule_AddObjectRef(module, "Transaction", reinterpret_cast<PyObject*>(transaction_type)));
}

Ref transaction(const TransactionArgs& args) {
    check_started_store(args.graph, "transaction");
    Ref object = Ref::steal(PyType_GenericAlloc(transaction_type, 0));
    TransactionObject* t = as_transaction(object.get());
    t->graph = Ref::borrow(args.graph).release();
    return object;
}

}  // namespace kg::transactions
