#include "store/retrieval/triple_record.hpp"

#include "store/core/module_state.hpp"

namespace kg {

Ref triple_record(PyObject* row) {
    const Names& n = names();
    PyObject* const keys[] = {n.subject, n.predicate, n.object};
    Ref record = Ref::steal(PyDict_New());
    // Rows come as tuples and split texts as lists; anything else by index.
    const bool is_tuple = PyTuple_CheckExact(row) && PyTuple_GET_SIZE(row) >= 3;
    const bool is_list = PyList_CheckExact(row) && PyList_GET_SIZE(row) >= 3;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (is_tuple || is_list) {
            PyObject* value = is_tuple ? PyTuple_GET_ITEM(row, i) : PyList_GET_ITEM(row, i);
            check(PyDict_SetItem(record.get(), keys[i], value));
        } else {
            Ref value = Ref::steal(PySequence_GetItem(row, i));
            check(PyDict_SetItem(record.get(), keys[i], value.get()));
        }
    }
    return record;
}

Ref triple_record(PyObject* subject, PyObject* predicate, PyObject* object) {
    const Names& n = names();
    Ref record = Ref::steal(PyDict_New());
    check(PyDict_SetItem(record.get(), n.subject, subject));
    check(PyDict_SetItem(record.get(), n.predicate, predicate));
    check(PyDict_SetItem(record.get(), n.object, object));
    return record;
}

Ref row_list(Ref rows) {
    if (PyList_CheckExact(rows.get())) return rows;
    return Ref::steal(PySequence_List(rows.get()));
}

}  // namespace kg
