#include "store/core/log.hpp"

#include "store/core/module_state.hpp"

#include <iterator>

namespace kg {
namespace {

std::size_t index_of(LogLevel level) {
    switch (level) {
    case LogLevel::Debug: return 0;
    case LogLevel::Info: return 1;
    case LogLevel::Warning: return 2;
    case LogLevel::Error: return 3;
    }
    return 1;
}

PyObject* method_name(std::size_t index) {
    const Names& n = names();
    PyObject* const level_names[] = {n.debug, n.info, n.warning, n.error};
    return level_names[index];
}

}  // namespace

void remember_standard_log_methods(PyObject* logging_module) {
    Ref logger_class = py::attr(logging_module, "Logger");
    for (std::size_t i = 0; i < std::size(state().standard_log_methods); ++i) {
        PyObject*& slot = state().standard_log_methods[i];
        Py_XSETREF(slot, py::attr(logger_class.get(), method_name(i)).release());
    }
}

Logger Logger::current() { return Logger(global(names().logger)); }

PyObject* Logger::level_method(LogLevel level) const {
    Ref& method = level_methods_[index_of(level)];
    if (!method) method = py::attr(logger_.get(), method_name(index_of(level)));
    return method.get();
}

bool Logger::enabled(LogLevel level) const {
    PyObject* method = level_method(level);
    const bool standard = PyMethod_Check(method) && PyMethod_GET_SELF(method) == logger_.get() &&
                          PyMethod_GET_FUNCTION(method) == state().standard_log_methods[index_of(level)];
    if (!standard) return true;
    Ref number = py::integer(static_cast<int>(level));
    Ref answer = py::call_method(logger_.get(), names().isEnabledFor, {number.get()});
    return py::truthy(answer.get());
}

void Logger::write(LogLevel level, const StaticString& format, std::initializer_list<PyObject*> args,
                   bool with_traceback) const {
    // stack[0] is free for the bound method to put the logger in.
    PyObject* stack[11];
    size_t n = 1;
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
    const size_t npositional = n - 1 - (with_traceback ? 1 : 0);
    Ref result = Ref::steal(
        PyObject_Vectorcall(level_method(level), stack + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

void Logger::write_message(LogLevel level, PyObject* message) const {
    Ref result = py::call(level_method(level), {message});
}

}  // namespace kg
