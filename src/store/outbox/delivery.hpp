// Delivering pending deletions to the vector store without the connection
// lock: claim under the lock, hand over chunk by chunk without it, settle
// under it again (document_traffic.hpp says what may interleave).
#pragma once

#include "store/outbox/document_traffic.hpp"
#include "store/outbox/pending_table.hpp"

namespace kg::outbox {

struct Delivered {
    Py_ssize_t delivered;  // ids handed to the vector store by this call
    Py_ssize_t pending;    // ids still pending afterwards, among those read
};

// A delivery of the pending ids a statement read. Construct it under the
// connection lock, in the same hold as that reading: it claims them. run()
// then hands them over, each call without the lock, and settles under it.
class PendingDelivery {
public:
    PendingDelivery(PyObject* conn, PendingIds pending);
    Delivered run(PyObject* graph, const char* label);

private:
    Py_ssize_t removed(PyObject* delivered, PyObject* written);

    Py_ssize_t read_;  // pending ids read, claimed or not
    DocumentTraffic::Delivery registration_;
    Ref conn_;
    Ref deliverable_;  // as read, ascending
    bool whole_table_;
    Ref claimed_;
    Ref rewritten_;
};

// Hands every pending id to the vector store. Refuses (RuntimeError naming
// `function`) inside a transaction the caller opened on the connection.
// `label` names the caller in the warnings.
Delivered deliver_pending(PyObject* graph, const char* function, const char* label);

// After documents of `ids` were added: delivers those that are pending and
// have no row (a deletion queued them while their documents were on the
// way, or a rollback removed their rows: `queue` them first). Inside the
// caller's transaction they stay pending until it commits.
void withdraw_rowless(PyObject* graph, const char* label, PyObject* ids, bool queue = false);

// The writer's last step: ends `mirror`, then withdraws its ids that a
// deletion queued meanwhile.
void finish_mirror(PyObject* graph, const char* label, DocumentTraffic::Mirror& mirror);

}  // namespace kg::outbox
