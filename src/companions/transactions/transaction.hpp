// transaction(graph): a context manager that opens a transaction on the
// store's connection and holds the connection lock until it ends.
//
// The connection cannot tell threads apart: a transaction opened with a
// bare "BEGIN" on it takes in the statements of every thread. Holding the
// lock for the whole block makes every other thread's store call wait until
// the block ends, while the store calls of the block's own thread join the
// transaction (the lock lets its owner in again).
//
// What the block's writes and deletions do to the vector store:
// * Documents of facts written in the block are added at once, as outside
//   it; when the block rolls back, those whose row the rollback removed are
//   queued for deletion and delivered after the rollback.
// * Deletions in the block queue their ids with the rows and deliver
//   nothing; after the commit, with the lock given back, every pending id
//   is delivered (a failed delivery leaves them pending for reconcile).
#pragma once

#include "store/core/pyref.hpp"

namespace kg::transactions {

struct TransactionArgs {
    PyObject* graph;
};
Ref transaction(const TransactionArgs& args);

// Creates the context manager's type; called once by the module's exec.
void create_transaction_type(PyObject* module);

}  // namespace kg::transactions
