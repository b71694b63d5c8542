#include "core/log.hpp"

#include "core/module_state.hpp"

#include <iterator>

namespace kg {
namespace {

PyObject* method_name(LogLevel level) {
    const Names& n = names();
    switch (level) {
    case LogLevel::Debug: return n.debug;
    case LogLevel::Info: return n.info;
    case LogLevel::Warning: return n.warning;
    case LogLevel::Error: return n.error;
    }
    return n.info;
}

}  // namespace

Logger Logger::current() { return Logger(global(names().logger)); }

bool Logger::enabled(LogLevel level) const {
    Ref number = py::integer(static_cast<int>(level));
    Ref answer = py::call_method(logger_.get(), names().isEnabledFor, {number.get()});
    return py::truthy(answer.get());
}

void Logger::write(LogLevel level, const StaticString& format, std::initializer_list<PyObject*> args,
                   bool with_traceback) const {
    PyObject* stack[10];
    size_t n = 0;
    stack[n++] = logger_.get();
    stack[n++] = format.get();
    for (PyObject* a : args) {
        if (n + 1 >= std::size(stack)) raise(PyExc_SystemError, "too many log arguments");
        stack[n++] = a;
    }
    PyObject* kwnames = nullptr;
    if (with_traceback) {
        static const StaticTuple exc_info_keyword{"exc_info"};
        stack[n++] = Py_True;
        kwnames = exc_info_keyword.get();
    }
    const size_t npositional = n - (with_traceback ? 1 : 0);
    Ref result = Ref::steal(PyObject_VectorcallMethod(method_name(level), stack, npositional, kwnames));
}

void Logger::write_message(LogLevel level, PyObject* message) const {
    Ref result = py::call_method(logger_.get(), method_name(level), {message});
}

}  // namespace kg
