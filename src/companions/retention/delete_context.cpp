// delete_context(graph, *, org_id, graph_slice_id): the facts the store's
// own delete_context deletes, matched the same way (the slice compared as
// JSON), and their documents.
#include "store/core/companion.hpp"
#include "store/core/log.hpp"
#include "store/core/py.hpp"
#include "store/outbox/pending_table.hpp"
#include "companions/retention/operations.hpp"
#include "companions/retention/tracked_deletion.hpp"

namespace kg::retention {
namespace {

const StaticString kDeleteSlice{
    KG_DELETE_AND_QUEUE("org_id = ? AND json_extract(metadata, '$.graph_slice_id') = to_json(?)")};
const StaticString kInfoEnter{"retention.delete_context: org=%s graph_slice_id=%s"};
const StaticString kInfoDone{"retention.delete_context: org=%s graph_slice_id=%s deleted=%d documents=%d pending=%d"};

}  // namespace

Ref delete_context(const DeleteContextArgs& args) {
    auto [graph, org_id, graph_slice_id] = args;
    check_started_store(graph, "delete_context");

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoEnter, {org_id, graph_slice_id});

    Ref params = py::list({org_id, graph_slice_id});
    DeletionOutcome outcome = delete_and_deliver(graph, "delete_context", kDeleteSlice.get(), params.get());

    if (logger.enabled(LogLevel::Info)) {
        logger.write(LogLevel::Info, kInfoDone,
                     {org_id, graph_slice_id, outcome.facts.get(), py::integer(outcome.documents.delivered).get(),
                      py::integer(outcome.documents.pending).get()});
    }
    return deletion_result(outcome);
}

}  // namespace kg::retention
