// purge_expired(graph, days): the facts the store's own purge deletes, with
// the same cutoff, and their documents.
#include "store/core/companion.hpp"
#include "store/core/log.hpp"
#include "store/core/py.hpp"
#include "store/outbox/pending_table.hpp"
#include "store/retention/expiry_cutoff.hpp"
#include "companions/retention/operations.hpp"
#include "companions/retention/tracked_deletion.hpp"

namespace kg::retention {
namespace {

const StaticString kPurge{KG_DELETE_AND_QUEUE("created_at < ?")};
const StaticString kInfoEnter{"retention.purge_expired: deleting facts older than %d days"};
const StaticString kInfoDone{"retention.purge_expired: deleted=%d documents=%d pending=%d"};

}  // namespace

Ref purge_expired(const PurgeExpiredArgs& args) {
    auto [graph, days] = args;
    check_started_store(graph, "purge_expired");

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoEnter, {days});

    Ref params = py::list({expiry_cutoff(days).get()});
    DeletionOutcome outcome = delete_and_deliver(graph, "purge_expired", kPurge.get(), params.get());

    if (logger.enabled(LogLevel::Info)) {
        logger.write(LogLevel::Info, kInfoDone,
                     {outcome.facts.get(), py::integer(outcome.documents.delivered).get(),
                      py::integer(outcome.documents.pending).get()});
    }
    return deletion_result(outcome);
}

}  // namespace kg::retention
