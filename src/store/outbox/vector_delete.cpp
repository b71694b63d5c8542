#include "store/outbox/vector_delete.hpp"

#include "store/core/handled_errors.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

namespace kg::outbox {
namespace {

const StaticString kDelete{"delete"};
const StaticString kClose{"close"};
const StaticString kWarnNoDelete{"%s: the vector store has no delete(); %d ids stay pending until reconcile delivers them"};
const StaticString kWarnRaised{"%s: vector store delete() failed (%r); %d ids stay pending until reconcile delivers them"};
const StaticString kWarnRefused{
    "%s: vector store delete() returned %r, not True or None; %d ids stay pending until reconcile delivers them"};
const StaticString kWarnAwaitable{
    "%s: vector store delete() returned an awaitable; an asynchronous delete() is not supported; %d ids stay "
    "pending until reconcile delivers them"};

// One warning line: the label, the object when there is one, and the
// number of ids left pending.
void warn(const StaticString& format, const char* label, Py_ssize_t pending, PyObject* object = nullptr) {
    Logger logger = Logger::current();
    if (!logger.enabled(LogLevel::Warning)) return;
    Ref name = py::str(label);
    Ref count = py::integer(pending);
    if (object != nullptr) {
        logger.write(LogLevel::Warning, format, {name.get(), object, count.get()});
    } else {
        logger.write(LogLevel::Warning, format, {name.get(), count.get()});
    }
}

bool is_awaitable(PyObject* object) {
    const PyAsyncMethods* async = Py_TYPE(object)->tp_as_async;
    return async != nullptr && async->am_await != nullptr;
}

// Closes a coroutine that will never be awaited, so that it does not warn
// later that it never was; an Exception of closing it is dropped.
void close_unawaited(PyObject* awaitable) {
    PyObject* found = nullptr;
    const int has_close = PyObject_GetOptionalAttr(awaitable, kClose.get(), &found);
    Ref close = Ref::steal_nullable(found);
    try {
        if (has_close < 0) throw_error_already_set();
        if (has_close > 0) py::call(close.get(), {});
    } catch (const PyErrorAlreadySet&) {
        take_pending_exception();
    }
}

}  // namespace

Ref find_delete(PyObject* graph, const char* label, Py_ssize_t pending) {
    try {
        Ref vector_store = py::attr(graph, names().vector_store);
        PyObject* found = nullptr;
        const int has_delete = PyObject_GetOptionalAttr(vector_store.get(), kDelete.get(), &found);
        Ref method = Ref::steal_nullable(found);
        if (has_delete < 0) throw_error_already_set();
        if (has_delete == 0) warn(kWarnNoDelete, label, pending);
        return method;
    } catch (const PyErrorAlreadySet&) {
        Ref exception = take_pending_exception();
        warn(kWarnRaised, label, pending, exception.get());
        return Ref();
    }
}

bool delete_chunk(PyObject* method, PyObject* chunk, const char* label, Py_ssize_t pending) {
    static const StaticTuple kwnames{"ids"};
    // A list of its own for each call: the host may keep or change it.
    Ref ids = py::copy_list(chunk);
    PyObject* args[] = {ids.get()};
    Ref result = Ref::steal_nullable(PyObject_Vectorcall(method, args, 0, kwnames.get()));
    if (!result) {
        Ref exception = take_pending_exception();
        warn(kWarnRaised, label, pending, exception.get());
        return false;
    }
    if (result.get() == Py_None || result.get() == Py_True) return true;
    if (is_awaitable(result.get())) {
        close_unawaited(result.get());
        warn(kWarnAwaitable, label, pending);
    } else {
        warn(kWarnRefused, label, pending, result.get());
    }
    return false;
}

}  // namespace kg::outbox
