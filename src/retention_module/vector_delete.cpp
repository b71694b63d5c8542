#include "retention_module/vector_delete.hpp"

#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/py.hpp"

#include <algorithm>

namespace kg::retention {
namespace {

const StaticString kDelete{"delete"};
const StaticString kWarnNoDelete{
    "retention.%s: the vector store has no delete(); %d ids stay pending until reconcile delivers them"};
const StaticString kWarnRaised{"retention.%s: vector store delete() failed (%r); %d ids stay pending until reconcile delivers them"};
const StaticString kWarnRefused{
    "retention.%s: vector store delete() returned False; %d ids stay pending until reconcile delivers them"};

// DuckDB reports a statement stopped by Ctrl-C as RuntimeError("Query
// interrupted"), and the interrupt itself is gone: a vector store that runs
// on DuckDB may raise it, and it must reach the caller like the interrupt.
bool is_interrupted_query(PyObject* exception) {
    if (!PyErr_GivenExceptionMatches(exception, PyExc_RuntimeError)) return false;
    Ref text = Ref::steal_nullable(PyObject_Str(exception));
    if (!text) {
        // Its text cannot be read, so it is not DuckDB's; only an Exception
        // raised meanwhile is dropped.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_already_set();
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(text.get(), "Query interrupted") == 0;
}

// The pending Exception of a failed host call, taken out for the warning;
// anything else is rethrown as it is.
Ref take_handled_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_already_set();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (is_interrupted_query(exception.get())) {
        PyErr_SetRaisedException(exception.release());
        throw_error_already_set();
    }
    return exception;
}

// One warning line: the function, the exception when there is one, and the
// number of ids left pending.
void warn(const StaticString& format, const char* function, Py_ssize_t pending, PyObject* exception = nullptr) {
    Logger logger = Logger::current();
    if (!logger.enabled(LogLevel::Warning)) return;
    Ref name = py::str(function);
    Ref count = py::integer(pending);
    if (exception != nullptr) {
        logger.write(LogLevel::Warning, format, {name.get(), exception, count.get()});
    } else {
        logger.write(LogLevel::Warning, format, {name.get(), count.get()});
    }
}

}  // namespace

Py_ssize_t deliver(PyObject* graph, const char* function, PyObject* ids) {
    const Py_ssize_t total = PyList_GET_SIZE(ids);
    if (total == 0) return 0;
    Ref vector_store = py::attr(graph, names().vector_store);

    PyObject* found = nullptr;
    const int has_delete = PyObject_GetOptionalAttr(vector_store.get(), kDelete.get(), &found);
    Ref method = Ref::steal_nullable(found);
    if (has_delete < 0) {
        Ref exception = take_handled_exception();
        warn(kWarnRaised, function, total, exception.get());
        return 0;
    }
    if (has_delete == 0) {
        warn(kWarnNoDelete, function, total);
        return 0;
    }

    static const StaticTuple kwnames{"ids"};
    Py_ssize_t delivered = 0;
    while (delivered < total) {
        // A list of its own for each call: the host may keep or change it.
        const Py_ssize_t end = std::min(total, delivered + kDeleteChunk);
        Ref chunk = Ref::steal(PyList_GetSlice(ids, delivered, end));
        PyObject* args[] = {chunk.get()};
        Ref result = Ref::steal_nullable(PyObject_Vectorcall(method.get(), args, 0, kwnames.get()));
        if (!result) {
            Ref exception = take_handled_exception();
            warn(kWarnRaised, function, total - delivered, exception.get());
            break;
        }
        if (result.get() == Py_False) {
            warn(kWarnRefused, function, total - delivered);
            break;
        }
        delivered = end;
    }
    return delivered;
}

}  // namespace kg::retention
