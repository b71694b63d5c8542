// The course of a deletion that also reaches the vector store.
#pragma once

#include "core/pyref.hpp"

namespace kg::retention {

struct Delivery {
    Py_ssize_t delivered;  // ids delivered to the vector store by this call
    Py_ssize_t pending;    // ids still pending afterwards
};

struct DeletionOutcome {
    Ref facts;  // rows deleted by the statement
    Delivery documents;
};

// Runs `statement` (a KG_DELETE_AND_QUEUE one) with `params` on the
// store's connection, then hands every pending id to the vector store.
// Inside a transaction the caller opened on the connection, the rows and
// the queued ids go with that transaction and nothing is delivered: the
// documents must stay until the deletion has committed.
DeletionOutcome delete_and_deliver(PyObject* graph, const char* function, PyObject* statement, PyObject* params);

// Hands every pending id to the vector store; refuses to run inside a
// transaction the caller opened on the connection.
Delivery deliver_pending(PyObject* graph, const char* function);

// {"facts": n, "documents": d, "pending": p}
Ref deletion_result(const DeletionOutcome& outcome);

}  // namespace kg::retention
