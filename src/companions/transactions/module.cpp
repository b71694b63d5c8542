// The companion module `transactions`: a transaction on the store's
// connection that other threads wait for, sharing the store's code and
// process state (store/core/companion.hpp).
#include "companions/transactions/transaction.hpp"
#include "store/core/companion.hpp"

namespace kg::transactions {
namespace {

constexpr Param kTransactionParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, "DuckSqliteGraph"},
};
const OperationDef kTransaction{
    .name = "transaction",
    .is_static = true,
    .params = kTransactionParams,
    .return_annotation = "Transaction",
    .result = ResultRule::Unchecked,
    .doc = "A transaction on graph.conn that other threads' store calls wait for.\n"
           "\n"
           "Use it as a context manager: BEGIN on entry, COMMIT on a normal exit,\n"
           "ROLLBACK when the block raises (the exception propagates). The block\n"
           "holds the store's connection lock throughout, so every other thread's\n"
           "store call waits until it ends, and the store calls of this thread join\n"
           "the transaction. Entering a second transaction on the same thread is a\n"
           "RuntimeError. Deletions in the block deliver their ids to the vector\n"
           "store after the commit; a rollback withdraws the documents of the facts\n"
           "the block wrote.",
    .body = named_body<kTransactionParams, transaction>};

PyModuleDef module_def = companion_module(
    "transactions", "Transactions on the store's connection that other threads wait for.",
    companion_slots_with<create_transaction_type, kTransaction>);

}  // namespace
}  // namespace kg::transactions

PyMODINIT_FUNC PyInit_transactions() { return PyModuleDef_Init(&kg::transactions::module_def); }
