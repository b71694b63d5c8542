// neighbourhood(graph, entity, depth, *, org_id, user_id, limit): the walk
// of get_neighbours, confined to one organisation (and one user when given),
// each fact once with the smallest hop at which the walk reaches it.
//
// One statement. The organisation's facts are read once into `scope`; the
// recursion keeps one row per fact (USING KEY) and lets a step add only facts
// that no earlier step reached (`recurring` is every row kept so far), so it
// ends when a step reaches nothing new, however large `depth` is: work and
// memory are bounded by the organisation's facts. `rowid` names a fact within
// the statement more cheaply than its 64-character id.
#include "companions/traversal/neighbourhood.hpp"

#include "store/core/bigint_param.hpp"
#include "store/core/companion.hpp"
#include "store/core/connection.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/triple_record.hpp"

namespace kg::traversal {
namespace {

const StaticString kWalk{
    "WITH RECURSIVE scope AS MATERIALIZED (\n"
    "    SELECT rowid AS rid, subject, predicate, obj FROM facts\n"
    "    WHERE org_id = ? AND (?::TEXT IS NULL OR user_id = ?)\n"
    "), reached(rid, hop, s, p, o) USING KEY (rid) AS (\n"
    "    SELECT rid, 1, subject, predicate, obj FROM scope WHERE subject = ? OR obj = ?\n"
    "    UNION\n"
    "    SELECT f.rid, r.hop + 1, f.subject, f.predicate, f.obj\n"
    "    FROM reached r JOIN scope f ON f.subject = r.o\n"
    "    WHERE r.hop < ?\n"
    "      AND NOT EXISTS (SELECT 1 FROM recurring.reached seen WHERE seen.rid = f.rid)\n"
    ")\n"
    "SELECT s, p, o, hop FROM reached ORDER BY hop, s, p, o LIMIT ?"};
const StaticString kDebugEnter{"neighbourhood: entity=%s depth=%d org=%s user=%s limit=%s"};
const StaticString kDebugDone{"neighbourhood: entity=%s returned %d facts"};
const StaticString kHop{"hop"};

constexpr Py_ssize_t kRowWidth = 4;  // subject, predicate, obj, hop

Ref record_of_row(PyObject* row) {
    Ref values = PyTuple_CheckExact(row) ? Ref::borrow(row) : Ref::steal(PySequence_Tuple(row));
    if (PyTuple_GET_SIZE(values.get()) != kRowWidth) {
        raise(PyExc_ValueError, "neighbourhood: a row of %zd values, expected %zd", PyTuple_GET_SIZE(values.get()),
              kRowWidth);
    }
    Ref record = triple_record(values.get());
    check(PyDict_SetItem(record.get(), kHop.get(), PyTuple_GET_ITEM(values.get(), 3)));
    return record;
}

}  // namespace

Ref neighbourhood(const NeighbourhoodArgs& args) {
    auto [graph, entity, depth, org_id, user_id, limit] = args;
    check_started_store(graph, "neighbourhood");
    Ref row_limit = Ref::borrow(Py_None);
    if (limit != Py_None) {
        long long n = 0;
        row_limit = bigint_param(limit, &n);
        if (n < 1) raise(PyExc_ValueError, "neighbourhood() argument 'limit' must be at least 1 or None, not %R", limit);
    }

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        logger.write(LogLevel::Debug, kDebugEnter, {py::head(entity, 60).get(), depth, org_id, user_id, limit});
    }
    Ref params = py::list(
        {org_id, user_id, user_id, entity, entity, bigint_param(depth).get(), row_limit.get()});
    Ref conn = py::attr(graph, names().conn);
    Ref rows = row_list(execute_fetchall(conn.get(), kWalk.get(), params.get()));

    if (logger.enabled(LogLevel::Debug)) {
        Ref count = py::integer(PyList_GET_SIZE(rows.get()));
        logger.write(LogLevel::Debug, kDebugDone, {py::head(entity, 40).get(), count.get()});
    }
    // A replaced connection's rows may run host code while they are read:
    // the list is read with checked access.
    Ref records = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::steal(PyList_GetItemRef(rows.get(), i));
        check(PyList_Append(records.get(), record_of_row(row.get()).get()));
    }
    return records;
}

}  // namespace kg::traversal
