// The companion module `bulk`: writing many facts at once into the store of
// `duck_graph`, sharing its code and process state (store/core/companion.hpp).
#include "companions/bulk/upsert_facts.hpp"
#include "store/core/companion.hpp"

namespace kg::bulk {
namespace {

constexpr Param kUpsertFactsParams[] = {{"graph", ParamKind::PositionalOrKeyword, ParamType::Any, "DuckSqliteGraph"},
                                        {"facts", ParamKind::PositionalOrKeyword, ParamType::Any,
                                         "Iterable[Tuple[str, str, str, Dict]]"}};
const OperationDef kUpsertFacts{
    .name = "upsert_facts",
    .is_static = true,
    .params = kUpsertFactsParams,
    .return_annotation = "List[str]",
    .result = ResultRule::Unchecked,
    .doc = "Write many facts at once; return their ids in input order.\n"
           "\n"
           "*facts* is an iterable of (subject, predicate, obj, metadata) tuples.\n"
           "Each fact is checked, identified and stored exactly as\n"
           "graph.upsert_fact would store it, but all rows of the call go in with\n"
           "one statement: a refused fact or a database error leaves nothing of\n"
           "the call in the table. A fact repeated in the call is stored once, as\n"
           "its last occurrence. The vector store then receives the documents in\n"
           "one add_texts call (one call per fact if that raises, each failure\n"
           "logged as upsert_fact logs it). Memory grows with the call: pass a\n"
           "long stream of facts in chunks.",
    .body = named_body<kUpsertFactsParams, upsert_facts>};

PyModuleDef module_def = companion_module(
    "bulk",
    "Writing many facts at once into the knowledge-graph store.",
    companion_slots<kUpsertFacts>);

}  // namespace
}  // namespace kg::bulk

PyMODINIT_FUNC PyInit_bulk() { return PyModuleDef_Init(&kg::bulk::module_def); }
