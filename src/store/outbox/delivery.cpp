#include "store/outbox/delivery.hpp"

#include "store/core/conn_lock.hpp"
#include "store/core/connection.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/outbox/vector_delete.hpp"

#include <algorithm>
#include <optional>

namespace kg::outbox {
namespace {

bool same(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// Ends the chunk being deleted however its call ends.
class ChunkScope {
public:
    explicit ChunkScope(DocumentTraffic::Delivery& delivery) : delivery_(delivery) {}
    ChunkScope(const ChunkScope&) = delete;
    ChunkScope& operator=(const ChunkScope&) = delete;
    ~ChunkScope() { delivery_.end_chunk(); }

private:
    DocumentTraffic::Delivery& delivery_;
};

// The items of `items` not in `minus` (both lists of str; `minus` short).
Ref without(PyObject* items, PyObject* minus) {
    if (PyList_GET_SIZE(minus) == 0) return Ref::borrow(items);
    Ref excluded = Ref::steal(PySet_New(minus));
    Ref kept = Ref::steal(PyList_New(0));
    const Py_ssize_t count = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        if (!check(PySet_Contains(excluded.get(), item))) check(PyList_Append(kept.get(), item));
    }
    return kept;
}

}  // namespace

PendingDelivery::PendingDelivery(PyObject* conn, PendingIds pending)
    : read_(pending.count()),
      registration_(traffic()),
      conn_(Ref::borrow(conn)),
      claimed_(registration_.claim(pending.deliverable.get())),
      rewritten_(std::move(pending.rewritten)) {}

Delivered PendingDelivery::run(PyObject* graph, const char* label) {
    const Py_ssize_t total = PyList_GET_SIZE(claimed_.get());
    Ref delivered = Ref::steal(PyList_New(0));
    Ref method = total > 0 ? find_delete(graph, label, total) : Ref();
    for (Py_ssize_t start = 0; method && start < total; start += kDeleteChunk) {
        Ref slice = Ref::steal(PyList_GetSlice(claimed_.get(), start, std::min(total, start + kDeleteChunk)));
        ChunkScope scope(registration_);
        Ref chunk = registration_.begin_chunk(slice.get());
        if (PyList_GET_SIZE(chunk.get()) == 0) continue;
        if (!delete_chunk(method.get(), chunk.get(), label, total - start)) break;
        check(PyList_SetSlice(delivered.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, chunk.get()));
    }

    ConnLock::Guard settling(state().conn_lock);
    // Ids written while this delivery ran keep their row's document, or
    // stay pending when their fact was deleted again.
    Ref written = registration_.written_since(claimed_.get());
    Ref settled = without(delivered.get(), written.get());
    check(PyList_SetSlice(written.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, rewritten_.get()));
    const Py_ssize_t removed = remove_settled(conn_.get(), settled.get(), written.get());
    return {PyList_GET_SIZE(delivered.get()), std::max<Py_ssize_t>(0, read_ - removed)};
}

bool in_callers_transaction(PyObject* conn, PyObject* transaction) {
    Ref now = current_transaction(conn);
    return now && same(now.get(), transaction);
}

Delivered deliver_pending(PyObject* graph, const char* function, const char* label) {
    Ref conn = py::attr(graph, names().conn);
    std::optional<PendingDelivery> delivery;
    {
        ConnLock::Guard claiming(state().conn_lock);
        Ref before = current_transaction(conn.get());
        if (!before) raise(PyExc_TypeError, "%s: current_transaction_id() returned no row", function);
        ensure_pending_table(conn.get());
        PendingIds pending = read_pending(conn.get(), true);
        if (same(before.get(), pending.transaction.get())) {
            raise(PyExc_RuntimeError,
                  "%s() cannot deliver inside a transaction open on graph.conn: commit or roll it back first",
                  function);
        }
        delivery.emplace(conn.get(), std::move(pending));
    }
    return delivery->run(graph, label);
}

void withdraw_rowless(PyObject* graph, const char* label, PyObject* ids, bool queue) {
    Ref conn = py::attr(graph, names().conn);
    std::optional<PendingDelivery> delivery;
    {
        ConnLock::Guard claiming(state().conn_lock);
        Ref before = current_transaction(conn.get());
        ensure_pending_table(conn.get());
        if (queue) queue_rowless(conn.get(), ids);
        // Most often none is pending: the pending table alone tells, without
        // the join over every id of the facts table.
        Ref candidates = pending_among(conn.get(), ids);
        if (PyList_GET_SIZE(candidates.get()) == 0) return;
        PendingIds pending = read_pending(conn.get(), true, candidates.get());
        if (before && same(before.get(), pending.transaction.get())) return;
        delivery.emplace(conn.get(), std::move(pending));
    }
    delivery->run(graph, label);
}

void finish_mirror(PyObject* graph, const char* label, DocumentTraffic::Mirror& mirror) {
    if (mirror.end()) withdraw_rowless(graph, label, mirror.ids());
}

}  // namespace kg::outbox
