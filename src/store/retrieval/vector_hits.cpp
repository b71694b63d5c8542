#include "store/retrieval/vector_hits.hpp"

#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

namespace kg {
namespace {

const StaticString kBar{"|"};

[[noreturn]] void raise_need_more(Py_ssize_t found) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

}  // namespace

Ref similar_documents(PyObject* graph, PyObject* query, PyObject* user_id, PyObject* org_id, PyObject* k) {
    const Names& n = names();
    Ref filter = Ref::steal(PyDict_New());
    check(PyDict_SetItem(filter.get(), n.user_id, user_id));
    check(PyDict_SetItem(filter.get(), n.org_id, org_id));
    Ref vector_store = py::attr(graph, n.vector_store);
    static const StaticTuple kwnames{"k", "filter"};
    return py::call_method_kw(vector_store.get(), n.similarity_search_with_score, {query, k, filter.get()},
                              kwnames.get());
}

void unpack_hit(PyObject* hit, Ref& document, Ref& score) {
    if (PyTuple_CheckExact(hit) && PyTuple_GET_SIZE(hit) == 2) {
        document = Ref::borrow(PyTuple_GET_ITEM(hit, 0));
        score = Ref::borrow(PyTuple_GET_ITEM(hit, 1));
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(hit));
    Ref* targets[] = {&document, &score};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw_error_already_set();
            raise_need_more(i);
        }
        *targets[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(iterator.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    }
    if (PyErr_Occurred()) throw_error_already_set();
}

Ref document_text(PyObject* document) {
    Ref text = py::attr(document, names().page_content);
    if (!PyUnicode_Check(text.get())) {
        raise(PyExc_TypeError, "page_content must be str, not %.200s", Py_TYPE(text.get())->tp_name);
    }
    return text;
}

Ref split_triple_text(PyObject* text) {
    Ref pieces = Ref::steal(PyUnicode_Split(text, kBar.get(), 2));
    const Py_ssize_t found = PyList_GET_SIZE(pieces.get());
    if (found < 3) raise_need_more(found);
    return pieces;
}

}  // namespace kg
