// Similarity search: the vector store does the finding, scoped by a filter on
// user and organisation; each hit's text is split back into its triple.
#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"
#include "retrieval/triple_record.hpp"

namespace kg::ops {
namespace {

const StaticString kDebugEnter{"KG search: query=%s user=%s org=%s k=%d"};
const StaticString kDebugDone{"KG search returned %d results for query=%s"};
const StaticString kBar{"|"};

[[noreturn]] void raise_need_more(Py_ssize_t found) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

// Unpacks a hit into exactly two values, with the host's unpacking messages.
void unpack_pair(PyObject* hit, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(hit) && PyTuple_GET_SIZE(hit) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(hit, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(hit, 1));
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(hit));
    Ref* targets[] = {&first, &second};
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

// {"subject", "predicate", "object", "score"} from "s|p|o", split at the
// first two bars; the object keeps any further bars.
Ref record_of(PyObject* text, PyObject* score) {
    Ref pieces = Ref::steal(PyUnicode_Split(text, kBar.get(), 2));
    const Py_ssize_t found = PyList_GET_SIZE(pieces.get());
    if (found < 3) raise_need_more(found);
    Ref record = triple_record(pieces.get());
    check(PyDict_SetItem(record.get(), names().score, score));
    return record;
}

}  // namespace

Ref search(const SearchArgs& args) {
    auto [self, query, user_id, org_id, k] = args;
    const Names& n = names();

    Logger logger = Logger::current();
    const bool debug = logger.enabled(LogLevel::Debug);
    if (debug) {
        logger.write(LogLevel::Debug, kDebugEnter, {py::head(query, 60).get(), user_id, org_id, k});
    }

    Ref filter = Ref::steal(PyDict_New());
    check(PyDict_SetItem(filter.get(), n.user_id, user_id));
    check(PyDict_SetItem(filter.get(), n.org_id, org_id));
    Ref vector_store = py::attr(self, n.vector_store);
    static const StaticTuple kwnames{"k", "filter"};
    Ref docs = py::call_method_kw(vector_store.get(), n.similarity_search_with_score, {query, k, filter.get()},
                                  kwnames.get());

    Ref results = Ref::steal(PyList_New(0));
    Ref hits = Ref::steal(PyObject_GetIter(docs.get()));
    while (PyObject* hit_ptr = PyIter_Next(hits.get())) {
        Ref hit = Ref::steal(hit_ptr);
        Ref doc, score;
        unpack_pair(hit.get(), doc, score);
        Ref text = py::attr(doc.get(), n.page_content);
        if (!PyUnicode_Check(text.get())) {
            raise(PyExc_TypeError, "page_content must be str, not %.200s", Py_TYPE(text.get())->tp_name);
        }
        check(PyList_Append(results.get(), record_of(text.get(), score.get()).get()));
    }
    if (PyErr_Occurred()) throw_error_already_set();

    if (debug) {
        Ref count = py::integer(PyList_GET_SIZE(results.get()));
        logger.write(LogLevel::Debug, kDebugDone, {count.get(), py::head(query, 40).get()});
    }
    return results;
}

}  // namespace kg::ops
