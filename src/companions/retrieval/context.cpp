// context(graph, query, *, user_id, org_id, k, depth, limit, scope): the
// facts that answer a question and the facts around them, in one call. The
// vector store finds the hits as search asks it, outside the connection
// lock; one statement under the lock (expansion.cpp) keeps the hits that
// still have a row in the scope and walks from them.
#include "companions/retrieval/context.hpp"

#include "companions/retrieval/expansion.hpp"
#include "companions/retrieval/hits.hpp"
#include "store/core/bigint_param.hpp"
#include "store/core/companion.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/triple_record.hpp"
#include "store/retrieval/vector_hits.hpp"

namespace kg::retrieval {
namespace {

const StaticString kDebugEnter{"context: query=%s user=%s org=%s k=%d depth=%d limit=%d scope=%s"};
const StaticString kDebugDone{"context: query=%s returned %d facts (%d of %d hits)"};
const StaticString kUser{"user"};
const StaticString kOrg{"org"};
const StaticString kHop{"hop"};
const StaticString kId{"id"};

constexpr Py_ssize_t kRowWidth = 6;  // subject, predicate, obj, hop, hit, id

void check_at_least_one(const char* name, PyObject* value) {
    long long n = 0;
    bigint_param(value, &n);
    if (n < 1) raise(PyExc_ValueError, "context() argument '%s' must be at least 1, not %R", name, value);
}

// Whether the scope is the user's; anything but "user" or "org" is refused.
bool user_scope(PyObject* scope) {
    if (PyUnicode_Compare(scope, kUser.get()) == 0) return true;
    if (PyUnicode_Compare(scope, kOrg.get()) == 0) return false;
    raise(PyExc_ValueError, "context() argument 'scope' must be 'user' or 'org', not %R", scope);
}

// A record from a row; the row's hop and hit position are checked before
// the position picks the hit's score (a replaced connection may return
// anything). `is_hit` tells whether the record is a hit's (hop 0).
Ref record_of_row(PyObject* row, const Hits& hits, bool& is_hit) {
    Ref values = PyTuple_CheckExact(row) ? Ref::borrow(row) : Ref::steal(PySequence_Tuple(row));
    if (PyTuple_GET_SIZE(values.get()) != kRowWidth) {
        raise(PyExc_ValueError, "context: a row of %zd values, expected %zd", PyTuple_GET_SIZE(values.get()),
              kRowWidth);
    }
    PyObject* hop = PyTuple_GET_ITEM(values.get(), 3);
    PyObject* hit = PyTuple_GET_ITEM(values.get(), 4);
    if (!PyLong_CheckExact(hop) || !PyLong_CheckExact(hit)) {
        raise(PyExc_ValueError, "context: a row with hop %R and hit %R, expected two ints", hop, hit);
    }
    int overflow = 0;
    const long long position = PyLong_AsLongLongAndOverflow(hit, &overflow);
    if (overflow != 0 || position < 0 || position >= hits.size()) {
        raise(PyExc_ValueError, "context: a row names hit %R, but the vector store gave %zd", hit, hits.size());
    }
    is_hit = PyLong_AsLongLongAndOverflow(hop, &overflow) == 0 && overflow == 0;
    Ref record = triple_record(values.get());
    check(PyDict_SetItem(record.get(), kHop.get(), hop));
    check(PyDict_SetItem(record.get(), names().score, PyList_GET_ITEM(hits.scores.get(), position)));
    check(PyDict_SetItem(record.get(), kId.get(), PyTuple_GET_ITEM(values.get(), 5)));
    return record;
}

}  // namespace

Ref context(const ContextArgs& args) {
    auto [graph, query, user_id, org_id, k, depth, limit, scope] = args;
    check_started_store(graph, "context");
    check_at_least_one("k", k);
    check_at_least_one("limit", limit);
    const bool within_user = user_scope(scope);

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        logger.write(LogLevel::Debug, kDebugEnter,
                     {py::head(query, 60).get(), user_id, org_id, k, depth, limit, scope});
    }
    Hits hits = read_hits(similar_documents(graph, query, user_id, org_id, k).get());
    Ref rows = Ref::steal(PyList_New(0));
    if (hits.size() > 0) {
        const ExpansionScope in_scope{org_id, within_user ? user_id : Py_None, user_id};
        rows = expansion_rows(graph, hits, in_scope, depth, limit);
    }

    // A replaced connection's rows may run host code while they are read:
    // the list is read with checked access.
    Ref records = Ref::steal(PyList_New(0));
    Py_ssize_t hits_kept = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::steal(PyList_GetItemRef(rows.get(), i));
        bool is_hit = false;
        check(PyList_Append(records.get(), record_of_row(row.get(), hits, is_hit).get()));
        hits_kept += is_hit ? 1 : 0;
    }
    if (logger.enabled(LogLevel::Debug)) {
        Ref record_count = py::integer(PyList_GET_SIZE(records.get()));
        Ref kept_count = py::integer(hits_kept);
        Ref hit_count = py::integer(hits.size());
        logger.write(LogLevel::Debug, kDebugDone,
                     {py::head(query, 40).get(), record_count.get(), kept_count.get(), hit_count.get()});
    }
    return records;
}

}  // namespace kg::retrieval
