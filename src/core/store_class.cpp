#include "core/store_class.hpp"

#include "core/module_state.hpp"
#include "core/operation_type.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"

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
const OperationDef kNew{"__new__", true, kNewParams, nullptr, ResultRule::Unchecked, nullptr, ops::store_new};
const OperationDef kInit{"__init__", false, kInitParams, nullptr, ResultRule::Unchecked, nullptr, ops::store_init};
const OperationDef kEnsureSchema{"_ensure_schema", false, kSelfOnly, "None", ResultRule::Unchecked,
                                  "Create tables / indexes if they do not already exist.", ops::ensure_schema};
const OperationDef kClamp{
    "_clamp_metadata_for_vs", true, kClampParams, "Dict", ResultRule::Unchecked,
    "Return a copy of *metadata* whose JSON serialisation fits in *max_bytes*.\n"
    "\n"
    "        Strategy: iteratively find the largest string value and halve it until\n"
    "        the total fits.  This preserves all keys and as much data as possible.\n"
    "        ",
    ops::clamp_metadata_for_vs};
const OperationDef kDetId{"_det_id", true, kDetIdParams, "str", ResultRule::StrOrNone,
                           "Deterministically derive the SHA\u2011256 id from the triple+actor.", ops::det_id};
const OperationDef kUpsert{"upsert_fact", false, kUpsertParams, "str", ResultRule::StrOrNone,
                            "Insert or update a fact and mirror it into the vector store.", ops::upsert_fact};
const OperationDef kSearch{"search", false, kSearchParams, "List[Dict]", ResultRule::Unchecked, nullptr,
                            ops::search};
const OperationDef kNeighbours{"get_neighbours", false, kNeighboursParams, "List[Dict]", ResultRule::Unchecked,
                                "Breadth\u2011first traversal up to *depth* hops from *entity*.",
                                ops::get_neighbours};
const OperationDef kPurge{"purge_expired", false, kPurgeParams, "None", ResultRule::Unchecked,
                           "Remove facts whose *created_at* is older than *days*.", ops::purge_expired};
const OperationDef kDeleteContext{"delete_context", false, kDeleteContextParams, "int", ResultRule::IntOrNone,
                                   "Delete all triples linked to a particular graph slice id.", ops::delete_context};
const OperationDef kFetch{"fetch_by_metadata", false, kFetchParams, "List[Dict]", ResultRule::Unchecked,
                           "Fetch triples whose metadata JSON includes the supplied key/value filters.",
                           ops::fetch_by_metadata};

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
