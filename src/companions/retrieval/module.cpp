// The companion module `retrieval`: from a question to the facts around its
// answers in one scoped call, sharing the store's code and process state
// (store/core/companion.hpp).
#include "companions/retrieval/context.hpp"
#include "store/core/companion.hpp"

namespace kg::retrieval {
namespace {

constexpr Param kContextParams[] = {
    {"graph", ParamKind::PositionalOrKeyword, ParamType::Any, "DuckSqliteGraph"},
    {"query", ParamKind::PositionalOrKeyword, ParamType::Str, "str"},
    {"user_id", ParamKind::KeywordOnly, ParamType::Str, "str"},
    {"org_id", ParamKind::KeywordOnly, ParamType::Str, "str"},
    {"k", ParamKind::KeywordOnly, ParamType::Int, "int", 5},
    {"depth", ParamKind::KeywordOnly, ParamType::Int, "int", 1},
    {"limit", ParamKind::KeywordOnly, ParamType::Int, "int", 50},
    {"scope", ParamKind::KeywordOnly, ParamType::Str, "str", std::nullopt, false, "user"},
};
const OperationDef kContext{
    .name = "context",
    .is_static = true,
    .params = kContextParams,
    .return_annotation = "List[Dict]",
    .result = ResultRule::Unchecked,
    .doc = "The facts that answer *query*, and the facts around them, each once.\n"
           "\n"
           "Hop 0 holds the vector store's hits (asked as graph.search asks it)\n"
           "that still have a fact in the scope; hop 1 the facts whose subject or\n"
           "object is a hit's subject or object; each further hop, up to *depth*,\n"
           "the facts whose subject is the object of a fact of the hop before.\n"
           "The scope is the facts of *org_id* and *user_id* (scope=\"user\") or of\n"
           "*org_id* (scope=\"org\"). A fact carries the best score of the hits it\n"
           "is reached from at its smallest hop. Returns dicts with \"subject\",\n"
           "\"predicate\", \"object\", \"hop\", \"score\" and \"id\", ordered by hop,\n"
           "score (highest first), subject, predicate, object and id; *limit*\n"
           "caps them inside the database. A depth below 0 gives the hits alone.",
    .body = named_body<kContextParams, context>};

PyModuleDef module_def = companion_module(
    "retrieval",
    "Retrieving the facts that answer a question, with the facts around them.",
    companion_slots<kContext>);

}  // namespace
}  // namespace kg::retrieval

PyMODINIT_FUNC PyInit_retrieval() { return PyModuleDef_Init(&kg::retrieval::module_def); }
