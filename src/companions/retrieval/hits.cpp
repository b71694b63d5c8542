#include "companions/retrieval/hits.hpp"

#include "store/core/handled_errors.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/vector_hits.hpp"

namespace kg::retrieval {
namespace {

const StaticString kId{"id"};

// The document's own id, when the vector store gives one as a str.
Ref document_id(PyObject* document) {
    PyObject* id = nullptr;
    check(PyObject_GetOptionalAttr(document, kId.get(), &id));
    Ref owned = Ref::steal_nullable(id);
    return owned && PyUnicode_CheckExact(owned.get()) ? std::move(owned) : py::none();
}

Ref rank_of(PyObject* score, Py_ssize_t position) {
    const double value = PyFloat_AsDouble(score);
    if (value == -1.0 && PyErr_Occurred()) {
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "context() ranks facts by the vector store's scores: the score of hit %zd is a %.200s", position,
            Py_TYPE(score)->tp_name));
        rethrow_with_note(note.get());
    }
    return Ref::steal(PyFloat_FromDouble(value));
}

}  // namespace

Hits read_hits(PyObject* documents) {
    Hits hits{Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)),
              Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0))};
    Ref iterator = Ref::steal(PyObject_GetIter(documents));
    while (Ref hit = Ref::steal_nullable(PyIter_Next(iterator.get()))) {
        Ref document, score;
        unpack_hit(hit.get(), document, score);
        Ref pieces = split_triple_text(document_text(document.get()).get());
        check(PyList_Append(hits.ids.get(), document_id(document.get()).get()));
        check(PyList_Append(hits.subjects.get(), PyList_GET_ITEM(pieces.get(), 0)));
        check(PyList_Append(hits.predicates.get(), PyList_GET_ITEM(pieces.get(), 1)));
        check(PyList_Append(hits.objects.get(), PyList_GET_ITEM(pieces.get(), 2)));
        check(PyList_Append(hits.ranks.get(), rank_of(score.get(), hits.size()).get()));
        check(PyList_Append(hits.scores.get(), score.get()));
    }
    if (PyErr_Occurred()) throw_error_already_set();
    return hits;
}

}  // namespace kg::retrieval
