// Helpers that keep the rule for handled errors (pyref.hpp): only the
// `Exception` family is handled; anything else passes as it came.
#pragma once

#include "core/pyref.hpp"

namespace kg {

// Whether the pending error may be handled: it belongs to `Exception`.
inline bool pending_error_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Takes the pending error out of the error state when it is an `Exception`
// and returns it; anything else unwinds at once.
inline Ref take_pending_exception() {
    if (!pending_error_is_exception()) throw_error_already_set();
    return Ref::steal(PyErr_GetRaisedException());
}

// Adds `note` (a str) to the pending error when it is an `Exception`, and
// unwinds with it. An error of adding the note that is an `Exception` is
// dropped (the note must not hide the error it explains); any other replaces
// the pending error, which becomes its context.
[[noreturn]] void rethrow_with_note(PyObject* note);

// Runs `work` (a question asked to explain the pending error) with that
// error set aside, then puts it back and returns. An `Exception` of the
// question is dropped; anything else raised by it wins, with the set-aside
// error as its context.
template <typename Work>
void with_pending_error_aside(Work&& work) {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        work();
    } catch (const PyErrorAlreadySet&) {
        if (!pending_error_is_exception()) {
            PyObject* raised = PyErr_GetRaisedException();
            PyException_SetContext(raised, pending);  // steals `pending`
            PyErr_SetRaisedException(raised);
            throw;
        }
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

}  // namespace kg
