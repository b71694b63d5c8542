#include "store/core/store_class.hpp"

#include "store/core/module_state.hpp"
#include "store/core/operation_type.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"

#include <string_view>

namespace kg {
namespace {

constexpr const char* kClassDoc =
    "Knowledge\u2011graph implementation backed by DuckDB.\n"
    "\n"
    "    *Facts* are stored relationally while the accompanying text triple is sent\n"
    "    to the configured `vector_store` for similarity search.  A light JSON column\n"
    "    keeps arbitrary metadata keyed by the caller (e.g. `user_id`, `org_id`, etc.).\n"
    "    ";

constexpr long kVectorStoreMetadataBudget = 60000;  // bytes of Compact JSON
constexpr const char* kSafeKeyPattern = "^[A-Za-z0-9_]+$";

using K = ParamKind;
using T = ParamType;

constexpr Param kSelf{"self"};

constexpr Param kNewParams[] = {{"cls"}, {"args", K::VarPositional}, {"kwargs", K::VarKeyword}};
constexpr Param kInitParams[] = {kSelf, {"persist_path", K::PositionalOrKeyword, T::Str, "str"}};
constexpr Param kSelfOnly[] = {kSelf};
constexpr Param kClampParams[] = {
    {"metadata", K::PositionalOrKeyword, T::Dict, "Dict"},
    {"max_bytes", K::PositionalOrKeyword, T::Int, "int"},
};
constexpr Param kDetIdParams[] = {
    {"triple", K::PositionalOrKeyword, T::Str, "str"},
    {"user_id", K::PositionalOrKeyword, T::Str, "str"},
    {"org_id", K::PositionalOrKeyword, T::Str, "str"},
};
constexpr Param kUpsertParams[] = {
    kSelf,
    {"subject", K::PositionalOrKeyword, T::Str, "str"},
    {"predicate", K::PositionalOrKeyword, T::Str, "str"},
    {"obj", K::PositionalOrKeyword, T::Str, "str"},
    {"metadata", K::PositionalOrKeyword, T::Dict, "Dict"},
};
constexpr Param kSearchParams[] = {
    kSelf,
    {"query", K::PositionalOrKeyword, T::Str, "str"},
    {"user_id", K::KeywordOnly, T::Str, "str"},
    {"org_id", K::KeywordOnly, T::Str, "str"},
    {"k", K::KeywordOnly, T::Int, "int", 5},
};
constexpr Param kNeighboursParams[] = {
    kSelf,
    {"entity", K::PositionalOrKeyword, T::Str, "str"},
    {"depth", K::PositionalOrKeyword, T::Int, "int", 2},
};
constexpr Param kPurgeParams[] = {kSelf, {"days", K::PositionalOrKeyword, T::Int, "int", 90}};
constexpr Param kDeleteContextParams[] = {
    kSelf,
    {"org_id", K::KeywordOnly, T::Str, "str"},
    {"graph_slice_id", K::KeywordOnly, T::Str, "str"},
};
constexpr Param kFetchParams[] = {
    kSelf,
    {"org_id", K::KeywordOnly, T::Str, "str"},
    {"filters", K::KeywordOnly, T::Dict, "Dict[str, str]"},
};

// The operations in the class's definition order.
const OperationDef kNew{.name = "__new__",
                        .is_static = true,
                        .params = kNewParams,
                        .return_annotation = nullptr,
                        .result = ResultRule::Unchecked,
                        .doc = nullptr,
                        .body = named_body<kNewParams, ops::store_new>};
const OperationDef kInit{.name = "__init__",
                         .is_static = false,
                         .params = kInitParams,
                         .return_annotation = nullptr,
                         .result = ResultRule::Unchecked,
                         .doc = nullptr,
                         .body = named_body<kInitParams, ops::store_init>};
const OperationDef kEnsureSchema{.name = "_ensure_schema",
                                 .is_static = false,
                                 .params = kSelfOnly,
                                 .return_annotation = "None",
                                 .result = ResultRule::Unchecked,
                                 .doc = "Create tables / indexes if they do not already exist.",
                                 .body = named_body<kSelfOnly, ops::ensure_schema>};
const OperationDef kClamp{.name = "_clamp_metadata_for_vs",
                          .is_static = true,
                          .params = kClampParams,
                          .return_annotation = "Dict",
                          .result = ResultRule::Unchecked,
                          .doc = "Return a copy of *metadata* whose JSON serialisation fits in *max_bytes*.\n"
                                 "\n"
                                 "        Strategy: iteratively find the largest string value and halve it until\n"
                                 "        the total fits.  This preserves all keys and as much data as possible.\n"
                                 "        ",
                          .body = named_body<kClampParams, ops::clamp_metadata_for_vs>};
const OperationDef kDetId{.name = "_det_id",
                          .is_static = true,
                          .params = kDetIdParams,
                          .return_annotation = "str",
                          .result = ResultRule::StrOrNone,
                          .doc = "Deterministically derive the SHA\u2011256 id from the triple+actor.",
                          .body = named_body<kDetIdParams, ops::det_id>};
const OperationDef kUpsert{.name = "upsert_fact",
                           .is_static = false,
                           .params = kUpsertParams,
                           .return_annotation = "str",
                           .result = ResultRule::StrOrNone,
                           .doc = "Insert or update a fact and mirror it into the vector store.",
                           .body = named_body<kUpsertParams, ops::upsert_fact>};
const OperationDef kSearch{.name = "search",
                           .is_static = false,
                           .params = kSearchParams,
                           .return_annotation = "List[Dict]",
                           .result = ResultRule::Unchecked,
                           .doc = nullptr,
                           .body = named_body<kSearchParams, ops::search>};
const OperationDef kNeighbours{.name = "get_neighbours",
                               .is_static = false,
                               .params = kNeighboursParams,
                               .return_annotation = "List[Dict]",
                               .result = ResultRule::Unchecked,
                               .doc = "Breadth\u2011first traversal up to *depth* hops from *entity*.",
                               .body = named_body<kNeighboursParams, ops::get_neighbours>};
const OperationDef kPurge{.name = "purge_expired",
                          .is_static = false,
                          .params = kPurgeParams,
                          .return_annotation = "None",
                          .result = ResultRule::Unchecked,
                          .doc = "Remove facts whose *created_at* is older than *days*.",
                          .body = named_body<kPurgeParams, ops::purge_expired>};
const OperationDef kDeleteContext{.name = "delete_context",
                                  .is_static = false,
                                  .params = kDeleteContextParams,
                                  .return_annotation = "int",
                                  .result = ResultRule::IntOrNone,
                                  .doc = "Delete all triples linked to a particular graph slice id.",
                                  .body = named_body<kDeleteContextParams, ops::delete_context>};
const OperationDef kFetch{.name = "fetch_by_metadata",
                          .is_static = false,
                          .params = kFetchParams,
                          .return_annotation = "List[Dict]",
                          .result = ResultRule::Unchecked,
                          .doc = "Fetch triples whose metadata JSON includes the supplied key/value filters.",
                          .body = named_body<kFetchParams, ops::fetch_by_metadata>};

// A namespace entry: an operation or a constant.
struct Member {
    const char* name;
    const OperationDef* operation;  // nullptr for constants
};

constexpr Member kMembers[] = {
    {"_instance", nullptr},
    {"__new__", &kNew},
    {"__init__", &kInit},
    {"_ensure_schema", &kEnsureSchema},
    {"_VS_META_MAX", nullptr},
    {"_clamp_metadata_for_vs", &kClamp},
    {"_det_id", &kDetId},
    {"upsert_fact", &kUpsert},
    {"search", &kSearch},
    {"get_neighbours", &kNeighbours},
    {"purge_expired", &kPurge},
    {"delete_context", &kDeleteContext},
    {"_SAFE_KEY_RE", nullptr},
    {"fetch_by_metadata", &kFetch},
};

Ref constant(std::string_view name) {
    if (name == "_instance") return py::none();
    if (name == "_VS_META_MAX") return py::integer(kVectorStoreMetadataBudget);
    // _SAFE_KEY_RE: compiled once, here, with no flags.
    Ref re = global(names().re);
    return py::call_method(re.get(), py::str("compile").get(), {py::str(kSafeKeyPattern).get()});
}

Ref namespace_entry(const Member& member, PyObject* module_name) {
    if (member.operation == nullptr) return constant(member.name);
    Ref op = make_operation(*member.operation, module_name, kStoreClassName);
    if (!member.operation->is_static) return op;
    return Ref::steal(PyStaticMethod_New(op.get()));
}

}  // namespace

const OperationDef& upsert_fact_definition() { return kUpsert; }
const OperationDef& det_id_definition() { return kDetId; }
const OperationDef& clamp_definition() { return kClamp; }

Ref create_store_class(PyObject* module_name) {
    Ref ns = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", module_name));
    check(PyDict_SetItemString(ns.get(), "__qualname__", py::str(kStoreClassName).get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", py::str(kClassDoc).get()));
    for (const Member& member : kMembers) {
        check(PyDict_SetItemString(ns.get(), member.name, namespace_entry(member, module_name).get()));
    }

    Ref base = global(names().KGraphBase);
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    return py::call(metaclass.get(), {py::str(kStoreClassName).get(), bases.get(), ns.get()});
}

}  // namespace kg
