#include "core/handled_errors.hpp"

#include "core/module_state.hpp"

namespace kg {

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
