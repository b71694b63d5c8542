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

// A list naming the ids of `read` (ascending) between the first and the
// last of `delivered` (the same objects, in the same order) that are not
// delivered; an empty Ref when there are too many for bounds to pay, or
// `delivered` is no run of `read`.
Ref left_out_between(PyObject* read, PyObject* delivered) {
    constexpr Py_ssize_t kMostLeftOut = 256;
    const Py_ssize_t read_count = PyList_GET_SIZE(read);
    const Py_ssize_t delivered_count = PyList_GET_SIZE(delivered);
    Py_ssize_t i = 0;
    while (i < read_count && PyList_GET_ITEM(read, i) != PyList_GET_ITEM(delivered, 0)) ++i;
    Ref left_out = Ref::steal(PyList_New(0));
    Py_ssize_t j = 0;
    for (; i < read_count && j < delivered_count; ++i) {
        PyObject* id = PyList_GET_ITEM(read, i);
        if (id == PyList_GET_ITEM(delivered, j)) {
            ++j;
        } else {
            if (PyList_GET_SIZE(left_out.get()) == kMostLeftOut) return Ref();
            check(PyList_Append(left_out.get(), id));
        }
    }
    return j == delivered_count ? std::move(left_out) : Ref();
}

}  // namespace

PendingDelivery::PendingDelivery(PyObject* conn, PendingIds pending)
    : read_(pending.count()),
      registration_(traffic()),
      conn_(Ref::borrow(conn)),
      deliverable_(std::move(pending.deliverable)),
      whole_table_(pending.whole_table),
      claimed_(registration_.claim(deliverable_.get())),
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
    return {PyList_GET_SIZE(delivered.get()), std::max<Py_ssize_t>(0, read_ - removed(delivered.get(), written.get()))};
}

Py_ssize_t PendingDelivery::removed(PyObject* delivered, PyObject* written) {
    // Exactly the delivered ids leave the table. When the table holds no id
    // this delivery has not read (it read the whole table, and nothing was
    // queued since), the delivered ids are a run of the ascending ids read,
    // but for a few left out: bounds and those few name them.
    if (whole_table_ && PyList_GET_SIZE(written) == 0 && PyList_GET_SIZE(rewritten_.get()) == 0 &&
        !registration_.ids_queued_since() && PyList_GET_SIZE(delivered) > 0) {
        if (Ref left_out = left_out_between(deliverable_.get(), delivered)) {
            return remove_range(conn_.get(), PyList_GET_ITEM(delivered, 0),
                                PyList_GET_ITEM(delivered, PyList_GET_SIZE(delivered) - 1), left_out.get());
        }
    }
    Ref settled = without(delivered, written);
    check(PyList_SetSlice(written, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, rewritten_.get()));
    return remove_settled(conn_.get(), settled.get(), written);
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
        if (same_transaction(before.get(), pending.transaction.get())) {
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
        if (queue) {
            queue_rowless(conn.get(), ids);
            traffic().ids_queued();
        }
        // Most often none is pending: the pending table alone tells, without
        // the join over every id of the facts table.
        Ref candidates = pending_among(conn.get(), ids);
        if (PyList_GET_SIZE(candidates.get()) == 0) return;
        PendingIds pending = read_pending(conn.get(), true, candidates.get());
        if (before && same_transaction(before.get(), pending.transaction.get())) return;
        delivery.emplace(conn.get(), std::move(pending));
    }
    delivery->run(graph, label);
}

void finish_mirror(PyObject* graph, const char* label, DocumentTraffic::Mirror& mirror) {
    if (mirror.end()) withdraw_rowless(graph, label, mirror.ids());
}

}  // namespace kg::outbox
