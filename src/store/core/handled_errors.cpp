#include "store/core/handled_errors.hpp"

#include "store/core/module_state.hpp"

namespace kg {

bool is_interrupted_query(PyObject* exception) {
    if (!PyErr_GivenExceptionMatches(exception, PyExc_RuntimeError)) return false;
    Ref text = Ref::steal_nullable(PyObject_Str(exception));
    if (!text) {
        // Its text cannot be read, so it is not the client's; only an
        // Exception raised meanwhile is dropped.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_already_set();
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(text.get(), "Query interrupted") == 0;
}

bool pending_error_is_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return true;
    PyObject* pending = PyErr_GetRaisedException();
    bool interrupted = false;
    try {
        interrupted = is_interrupted_query(pending);
    } catch (const PyErrorAlreadySet&) {
        // Something outside the Exception family while reading the text: it wins.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, pending);
        PyErr_SetRaisedException(raised);
        return false;
    }
    PyErr_SetRaisedException(pending);
    return !interrupted;
}

Ref take_pending_exception() {
    if (!pending_error_is_exception()) throw_error_already_set();
    return Ref::steal(PyErr_GetRaisedException());
}

void rethrow_with_note(PyObject* note) {
    if (!pending_error_is_exception()) throw_error_already_set();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref added = Ref::steal_nullable(PyObject_CallMethodOneArg(exception.get(), names().add_note, note));
    if (!added) {
        if (!pending_error_is_exception()) {
            PyObject* raised = PyErr_GetRaisedException();
            PyException_SetContext(raised, exception.release());
            PyErr_SetRaisedException(raised);
            throw_error_already_set();
        }
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception.release());
    throw_error_already_set();
}

}  // namespace kg
