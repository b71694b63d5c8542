// Deletion of one graph slice of one organisation, addressed by the
// top-level "graph_slice_id" of the stored metadata. Returns the number of
// rows deleted, as the engine counts them.
#include "store/core/connection.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"

namespace kg::ops {
namespace {

const StaticString kInfoEnter{"delete_context: org=%s graph_slice_id=%s"};
const StaticString kInfoDone{"delete_context: org=%s graph_slice_id=%s deleted=%d"};

// The slice value is compared as JSON, as store/retrieval/metadata_match.hpp explains.
const StaticString kDelete{
    "DELETE FROM facts\n"
    "    WHERE org_id = ?\n"
    "      AND json_extract(metadata, '$.graph_slice_id') = to_json(?)"};

// A DELETE yields one row holding the count. (The client's `rowcount` is not
// to be relied on: some releases report -1 after a delete.)
Ref deleted_count(PyObject* rows) {
    Ref row_list = Ref::steal(PySequence_List(rows));
    if (PyList_GET_SIZE(row_list.get()) == 0) return py::integer(0);
    return Ref::steal(PySequence_GetItem(PyList_GET_ITEM(row_list.get(), 0), 0));
}

}  // namespace

Ref delete_context(const DeleteContextArgs& args) {
    auto [self, org_id, graph_slice_id] = args;

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoEnter, {org_id, graph_slice_id});

    Ref params = py::list({org_id, graph_slice_id});
    Ref conn = py::attr(self, names().conn);
    Ref deleted = deleted_count(execute_fetchall(conn.get(), kDelete.get(), params.get()).get());

    if (logger.enabled(LogLevel::Info)) {
        logger.write(LogLevel::Info, kInfoDone, {org_id, graph_slice_id, deleted.get()});
    }
    return deleted;
}

}  // namespace kg::ops
