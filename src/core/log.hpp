// Writing through the module logger, as bound in the module namespace at the
// moment of the call. The format and its arguments go separately; the
// logging facility renders them only when it emits the record. Callers ask
// `enabled` first so that no argument is built for a level that is off.
#pragma once

#include "core/py.hpp"

#include <initializer_list>

namespace kg {

enum class LogLevel : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

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
    Ref logger_;
};

}  // namespace kg
