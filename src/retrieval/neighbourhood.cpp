// Neighbourhood traversal: one recursive statement walks forward from the
// facts that touch the entity, up to `depth` hops; every path is kept.
#include "core/connection.hpp"
#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"
#include "retrieval/triple_record.hpp"

namespace kg::ops {
namespace {

const StaticString kWalk{
    "WITH RECURSIVE hop(n, s, p, o) AS (\n"
    "    SELECT 1, subject, predicate, obj FROM facts WHERE subject = ? OR obj = ?\n"
    "    UNION ALL\n"
    "    SELECT n + 1, f.subject, f.predicate, f.obj\n"
    "    FROM facts f JOIN hop h ON f.subject = h.o\n"
    "    WHERE n < ?\n"
    ")\n"
    "SELECT s, p, o FROM hop;"};
const StaticString kDebugEnter{"get_neighbours: entity=%s depth=%d"};
const StaticString kDebugDone{"get_neighbours: entity=%s returned %d triples"};

}  // namespace

Ref get_neighbours(const BoundArgs& args) {
    PyObject* self = args[0];
    PyObject* entity = args[1];
    PyObject* depth = args[2];

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        logger.write(LogLevel::Debug, kDebugEnter, {py::head(entity, 60).get(), depth});
    }
    Ref params = py::list({entity, entity, depth});
    Ref conn = py::attr(self, names().conn);
    Ref rows = row_list(execute_fetchall(conn.get(), kWalk.get(), params.get()));

    if (logger.enabled(LogLevel::Debug)) {
        Ref count = py::integer(PyList_GET_SIZE(rows.get()));
        logger.write(LogLevel::Debug, kDebugDone, {py::head(entity, 40).get(), count.get()});
    }
    Ref results = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows.get(), i));
        check(PyList_Append(results.get(), triple_record(row.get()).get()));
    }
    return results;
}

}  // namespace kg::ops
