// Makes an exception the one being handled for a scope, as inside an
// `except` block: whatever is raised meanwhile gets it as its context, and
// the logging facility finds it for a traceback. The previous one is put
// back at the end of the scope.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

class HandledException {
public:
    explicit HandledException(PyObject* exception) : previous_(Ref::steal_nullable(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception);
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() {
        // A thread ended by the runtime unwinds through here without the GIL.
        if (!holds_gil()) return;
        // An error raised in the scope stays pending across the reset.
        PyObject* pending = PyErr_GetRaisedException();
        PyErr_SetHandledException(previous_.get());
        PyErr_SetRaisedException(pending);
    }

private:
    Ref previous_;
};

}  // namespace kg
