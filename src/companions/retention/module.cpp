// The companion module `retention`: the store's deletions by age and by
// slice, made to reach the vector store too, sharing the store's code and
// process state (store/core/companion.hpp).
#include "store/core/companion.hpp"
#include "companions/retention/operations.hpp"

namespace kg::retention {
namespace {

constexpr const char* kGraphAnnotation = "DuckSqliteGraph";
constexpr const char* kResultAnnotation = "Dict[str, int]";

constexpr Param kPurgeParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, kGraphAnnotation},
    {"days", ParamKind::PositionalOrKeyword, ParamType::Int, "int", 90},
};
const OperationDef kPurge{
    .name = "purge_expired",
    .is_static = true,
    .params = kPurgeParams,
    .return_annotation = kResultAnnotation,
    .result = ResultRule::Unchecked,
    .doc = "Delete the facts older than *days*, as graph.purge_expired does, and their documents.\n"
           "\n"
           "Returns {\"facts\": rows deleted, \"documents\": ids delivered to the\n"
           "vector store's delete, \"pending\": ids still waiting for reconcile}.",
    .body = named_body<kPurgeParams, purge_expired>};

constexpr Param kDeleteContextParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, kGraphAnnotation},
    {"org_id", ParamKind::KeywordOnly, ParamType::Str, "str"},
    {"graph_slice_id", ParamKind::KeywordOnly, ParamType::Str, "str"},
};
const OperationDef kDeleteContext{
    .name = "delete_context",
    .is_static = true,
    .params = kDeleteContextParams,
    .return_annotation = kResultAnnotation,
    .result = ResultRule::Unchecked,
    .doc = "Delete one graph slice of an organisation, as graph.delete_context does, and its documents.\n"
           "\n"
           "Returns {\"facts\": rows deleted, \"documents\": ids delivered to the\n"
           "vector store's delete, \"pending\": ids still waiting for reconcile}.",
    .body = named_body<kDeleteContextParams, delete_context>};

constexpr Param kReconcileParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, kGraphAnnotation},
};
const OperationDef kReconcile{
    .name = "reconcile",
    .is_static = true,
    .params = kReconcileParams,
    .return_annotation = kResultAnnotation,
    .result = ResultRule::Unchecked,
    .doc = "Deliver the pending deletions to the vector store.\n"
           "\n"
           "Returns {\"delivered\": ids delivered, \"pending\": ids still pending}.",
    .body = named_body<kReconcileParams, reconcile>};

PyModuleDef module_def = companion_module(
    "retention",
    "Deleting facts of the knowledge-graph store together with their vector-store documents.",
    companion_slots<kPurge, kDeleteContext, kReconcile>);

}  // namespace
}  // namespace kg::retention

PyMODINIT_FUNC PyInit_retention() { return PyModuleDef_Init(&kg::retention::module_def); }
