// The companion module `traversal`: a walk of the graph confined to one
// organisation, sharing the store's code and process state
// (store/core/companion.hpp).
#include "store/core/companion.hpp"
#include "companions/traversal/neighbourhood.hpp"

namespace kg::traversal {
namespace {

constexpr Param kNeighbourhoodParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, "DuckSqliteGraph"},
    {"entity", ParamKind::PositionalOrKeyword, ParamType::Str, "str"},
    {"depth", ParamKind::PositionalOrKeyword, ParamType::Int, "int", 2},
    {"org_id", ParamKind::KeywordOnly, ParamType::Str, "str"},
    {"user_id", ParamKind::KeywordOnly, ParamType::Str, "Optional[str]", std::nullopt, true},
    {"limit", ParamKind::KeywordOnly, ParamType::Int, "Optional[int]", std::nullopt, true},
};
const OperationDef kNeighbourhood{
    .name = "neighbourhood",
    .is_static = true,
    .params = kNeighbourhoodParams,
    .return_annotation = "List[Dict]",
    .result = ResultRule::Unchecked,
    .doc = "Facts of one organisation around *entity*, each once, at its smallest hop.\n"
           "\n"
           "Walks as graph.get_neighbours does (hop 1: the facts whose subject or\n"
           "object is *entity*; each further hop: from a reached fact's object to\n"
           "the facts that have it as subject), over the facts of *org_id* only,\n"
           "and of *user_id* too when it is given. Returns dicts with \"subject\",\n"
           "\"predicate\", \"object\" and \"hop\", ordered by hop, subject, predicate\n"
           "and object; *limit* caps their number inside the database. A depth\n"
           "below 1 walks 1 hop; the walk ends when a hop reaches no new fact.",
    .body = named_body<kNeighbourhoodParams, neighbourhood>};

PyModuleDef module_def = companion_module(
    "traversal",
    "Walking the knowledge graph within one organisation.",
    companion_slots<kNeighbourhood>);

}  // namespace
}  // namespace kg::traversal

PyMODINIT_FUNC PyInit_traversal() { return PyModuleDef_Init(&kg::traversal::module_def); }
