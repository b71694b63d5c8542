// Helpers that keep the rule for handled errors (pyref.hpp): only the
// `Exception` family is handled, less the database client's report of an
// interrupted statement; anything else passes as it came.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// Whether `exception` is the database client's report of a statement
// stopped by Ctrl-C: a RuntimeError "Query interrupted". The interrupt
// itself is gone by then, so the report must travel like the interrupt,
// whoever raised it (the store's own statement, or a vector store that
// keeps its data in the same kind of database).
bool is_interrupted_query(PyObject* exception);

// Whether the pending error may be handled: it belongs to `Exception` and
// is no interrupted statement.
bool pending_error_is_exception();

// Takes the pending error out of the error state when it may be handled
// and returns it; anything else unwinds at once.
Ref take_pending_exception();

// Adds `note` (a str) to the pending error when it may be handled, and
// unwinds with it. An error of adding the note that may be handled is
// dropped (the note must not hide the error it explains); any other
// replaces the pending error, which becomes its context.
[[noreturn]] void rethrow_with_note(PyObject* note);

// Runs `work` (a question asked to explain the pending error, or a clean-up
// that must run on its way) with that error set aside, then puts it back
// and returns. An error of `work` that may be handled is dropped; anything
// else raised by it wins, with the set-aside error as its context.
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
