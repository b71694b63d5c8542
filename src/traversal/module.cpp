// The companion module `traversal`: a walk of the graph confined to one
// organisation, sharing the store's code and process state
// (core/companion.hpp).
#include "core/companion.hpp"
#include "core/entry_point.hpp"
#include "traversal/neighbourhood.hpp"

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

int module_exec(PyObject* module) {
    return status_entry_point([&] {
        load_store_module();
        add_functions(module, {&kNeighbourhood});
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // As for duck_graph: a second interpreter meets the store's own refusal.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "traversal",
    "Walking the knowledge graph within one organisation.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kg::traversal

PyMODINIT_FUNC PyInit_traversal() { return PyModuleDef_Init(&kg::traversal::module_def); }
