#include "retrieval/triple_record.hpp"

namespace kg {

Ref triple_record(PyObject* row) {
    static const char* const keys[] = {"subject", "predicate", "object"};
    Ref record = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref value = Ref::steal(PySequence_GetItem(row, i));
        check(PyDict_SetItemString(record.get(), keys[i], value.get()));
    }
    return record;
}

}  // namespace kg
