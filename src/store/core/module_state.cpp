#include "store/core/module_state.hpp"

namespace kg {

ModuleState& state() {
    // Never deleted: see module_state.hpp.
    static ModuleState* const instance = new ModuleState();
    return *instance;
}

void ModuleState::forget_objects() {
    names.clear();
    Py_CLEAR(globals);
    Py_CLEAR(store_class);
    Py_CLEAR(operation_type);
    for (PyObject*& method : standard_log_methods) Py_CLEAR(method);
    Py_CLEAR(standard_dumps);
    Py_CLEAR(standard_encoder_class);
    Py_CLEAR(initialised_module);
    // Cached objects of the failed load are left alone: the interpreter that
    // made them may be gone by the time the cache is next read.
    ++generation;
}

void Names::intern_all() {
#define KG_INTERN_NAME(n)                                          \
    if (n == nullptr) n = Ref::steal(PyUnicode_InternFromString(#n)).release();
    KG_NAMES(KG_INTERN_NAME)
#undef KG_INTERN_NAME
}

void Names::clear() {
#define KG_CLEAR_NAME(n) Py_CLEAR(n);
    KG_NAMES(KG_CLEAR_NAME)
#undef KG_CLEAR_NAME
}

Ref global(PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(state().globals, name, &value)) == 0) {
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(value);
}

}  // namespace kg
