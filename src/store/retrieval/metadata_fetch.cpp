// Metadata filter fetch: the facts of one organisation whose metadata holds
// the given values under the given top-level keys. Keys are screened by the
// safe-key pattern; paths and values travel only as bound parameters.
#include "store/core/connection.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/metadata_match.hpp"
#include "store/retrieval/triple_record.hpp"

#include <string>

namespace kg::ops {
namespace {

const StaticString kDebugEnter{"fetch_by_metadata: org=%s filters=%s"};
const StaticString kWarnUnsafeKey{"fetch_by_metadata: rejecting unsafe filter key: %r"};
const StaticString kDebugDone{"fetch_by_metadata: org=%s returned %d triples"};

constexpr const char* kSelect = "SELECT subject, predicate, obj, metadata FROM facts WHERE ";
constexpr const char* kOrgCondition = "org_id = ?";

// The stored metadata text parsed by the host parser; unparsable text gives
// {}, and a value that is not text (NULL) stays as it is.
Ref parsed_metadata(PyObject* loads, PyObject* stored) {
    if (!PyUnicode_Check(stored)) return Ref::borrow(stored);
    PyObject* parsed = PyObject_CallOneArg(loads, stored);
    if (parsed != nullptr) return Ref::steal(parsed);
    if (!pending_error_is_exception()) throw_error_already_set();
    PyErr_Clear();
    return Ref::steal(PyDict_New());
}

// "$." and the key. A text key gives its value, the one the pattern
// screened (a str subclass may render itself otherwise); a key of another
// type, which only a replaced pattern lets through, gives its str().
Ref json_path(PyObject* key) {
    if (!PyUnicode_Check(key)) return Ref::steal(PyUnicode_FromFormat("$.%S", key));
    Ref value = Ref::steal(PyUnicode_FromObject(key));
    return Ref::steal(PyUnicode_FromFormat("$.%U", value.get()));
}

// The triple record plus "metadata".
Ref fact_record(PyObject* loads, PyObject* row) {
    Ref record = triple_record(row);
    Ref stored = Ref::steal(PySequence_GetItem(row, 3));
    check(PyDict_SetItem(record.get(), names().metadata, parsed_metadata(loads, stored.get()).get()));
    return record;
}

}  // namespace

Ref fetch_by_metadata(const FetchByMetadataArgs& args) {
    auto [self, org_id, filters] = args;
    const Names& n = names();

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        Ref keys = Ref::steal(PyDict_Keys(filters));
        logger.write(LogLevel::Debug, kDebugEnter, {org_id, keys.get()});
    }

    Ref params = py::list({org_id});
    std::string query = std::string(kSelect) + kOrgCondition;
    // A snapshot of the pairs: the pattern test may run arbitrary code.
    Ref pairs = Ref::steal(PyDict_Items(filters));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        Ref pattern = py::attr(self, n._SAFE_KEY_RE);
        Ref match = py::call_method(pattern.get(), n.match, {key});
        if (!py::truthy(match.get())) {
            if (logger.enabled(LogLevel::Warning)) logger.write(LogLevel::Warning, kWarnUnsafeKey, {key});
            continue;
        }
        query += " AND ";
        query += kMetadataPathEqualsValue;
        check(PyList_Append(params.get(), json_path(key).get()));
        check(PyList_Append(params.get(), value));
    }

    Ref sql = Ref::steal(PyUnicode_FromStringAndSize(query.data(), static_cast<Py_ssize_t>(query.size())));
    Ref conn = py::attr(self, n.conn);
    Ref rows = row_list(execute_fetchall(conn.get(), sql.get(), params.get()));

    Ref json = global(n.json);
    Ref loads = py::attr(json.get(), n.loads);
    Ref results = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows.get(), i));
        check(PyList_Append(results.get(), fact_record(loads.get(), row.get()).get()));
    }

    if (logger.enabled(LogLevel::Debug)) {
        Ref count = py::integer(PyList_GET_SIZE(results.get()));
        logger.write(LogLevel::Debug, kDebugDone, {org_id, count.get()});
    }
    return results;
}

}  // namespace kg::ops
