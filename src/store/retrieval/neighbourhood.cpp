// Neighbourhood traversal: one recursive statement walks forward from the
// facts that touch the entity, up to `depth` hops; every path is kept.
#include "store/core/connection.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/triple_record.hpp"

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

// The record of a row unpacked into s, p, o, with the host's unpacking
// errors for a row of another width (a replaced connection may return one).
Ref record_of_row(PyObject* row) {
    if (PyTuple_CheckExact(row) && PyTuple_GET_SIZE(row) == 3) return triple_record(row);
    PyObject* iterator_or_null = PyObject_GetIter(row);
    if (iterator_or_null == nullptr && PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(row)->tp_iter == nullptr &&
        !PySequence_Check(row)) {
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(row)->tp_name);
    }
    Ref iterator = Ref::steal(iterator_or_null);
    Ref values[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
        values[i] = Ref::steal_nullable(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (PyErr_Occurred()) throw_error_already_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", i);
        }
    }
    if (Ref extra = Ref::steal_nullable(PyIter_Next(iterator.get()))) {
        raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    if (PyErr_Occurred()) throw_error_already_set();
    return triple_record(values[0].get(), values[1].get(), values[2].get());
}

}  // namespace

Ref get_neighbours(const GetNeighboursArgs& args) {
    auto [self, entity, depth] = args;

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
        check(PyList_Append(results.get(), record_of_row(row.get()).get()));
    }
    return results;
}

}  // namespace kg::ops
