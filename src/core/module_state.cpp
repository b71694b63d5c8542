#include "core/module_state.hpp"

namespace kg {

ModuleState& state() {
    // Never deleted: destruction at exit would run after the runtime is gone,
    // while daemon threads may still wait on its connection lock.
    static ModuleState* const instance = new ModuleState();
    return *instance;
}

void Names::intern_all() {
#define KG_INTERN_NAME(n)                                          \
    if (n == nullptr) n = Ref::steal(PyUnicode_InternFromString(#n)).release();
    KG_NAMES(KG_INTERN_NAME)
#undef KG_INTERN_NAME
}

Ref global(PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(state().globals, name, &value)) == 0) {
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(value);
}

}  // namespace kg
