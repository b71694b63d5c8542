// reconcile(graph): hands the vector store every pending id, those of
// deletions whose delivery failed, crashed or waited for the caller's
// transaction to commit.
#include "store/core/companion.hpp"
#include "store/core/log.hpp"
#include "store/core/py.hpp"
#include "companions/retention/operations.hpp"
#include "store/outbox/delivery.hpp"

namespace kg::retention {
namespace {

const StaticString kInfoDone{"retention.reconcile: delivered=%d pending=%d"};
const StaticString kDelivered{"delivered"};
const StaticString kPending{"pending"};

}  // namespace

Ref reconcile(const ReconcileArgs& args) {
    check_started_store(args.graph, "reconcile");
    const outbox::Delivered delivery = outbox::deliver_pending(args.graph, "reconcile", "retention.reconcile");

    Ref delivered = py::integer(delivery.delivered);
    Ref pending = py::integer(delivery.pending);
    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoDone, {delivered.get(), pending.get()});

    Ref result = Ref::steal(PyDict_New());
    check(PyDict_SetItem(result.get(), kDelivered.get(), delivered.get()));
    check(PyDict_SetItem(result.get(), kPending.get(), pending.get()));
    return result;
}

}  // namespace kg::retention
