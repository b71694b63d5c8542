// The course of a deletion that also reaches the vector store.
#pragma once

#include "store/outbox/delivery.hpp"

namespace kg::retention {

struct DeletionOutcome {
    Ref facts;  // rows deleted by the statement
    outbox::Delivered documents;
};

// Runs `statement` (a KG_DELETE_AND_QUEUE one) with `params` on the
// store's connection, then hands every pending id to the vector store
// (store/outbox/delivery.hpp). Inside a transaction the caller opened on the
// connection, the rows and the queued ids go with that transaction and
// nothing is delivered: the documents must stay until the deletion has
// committed.
DeletionOutcome delete_and_deliver(PyObject* graph, const char* function, PyObject* statement, PyObject* params);

// {"facts": n, "documents": d, "pending": p}
Ref deletion_result(const DeletionOutcome& outcome);

}  // namespace kg::retention
