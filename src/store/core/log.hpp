// Writing through the module logger, as bound in the module namespace at the
// moment of the call. The format and its arguments go separately; the
// logging facility renders them only when it emits the record. Callers ask
// `enabled` first so that no argument is built for a level that is off.
//
// That shortcut asks `isEnabledFor`, which is only sound when the level
// method is logging.Logger's own (it asks the same and does nothing else
// when the level is off). A logger of any other kind, an object offering the
// level calls alone or a subclass that overrides one, is always called.
#pragma once

#include "store/core/py.hpp"

#include <initializer_list>

namespace kg {

enum class LogLevel : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

// Keeps logging.Logger's own level methods, as defined when the module
// loads, to tell a standard level call from a replaced one.
void remember_standard_log_methods(PyObject* logging_module);

class Logger {
public:
    static Logger current();

    bool enabled(LogLevel level) const;
    // logger.<level>(format, *args[, exc_info=True])
    void write(LogLevel level, const StaticString& format, std::initializer_list<PyObject*> args,
               bool with_traceback = false) const;
    // logger.<level>(message): a message formatted before the call.
    void write_message(LogLevel level, PyObject* message) const;

private:
    explicit Logger(Ref logger) : logger_(std::move(logger)) {}
    // logger.<level> as the host resolves it, looked up once per Logger.
    PyObject* level_method(LogLevel level) const;

    Ref logger_;
    mutable Ref level_methods_[4];
};

}  // namespace kg
