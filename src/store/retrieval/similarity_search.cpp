// Similarity search: the vector store does the finding, scoped by a filter on
// user and organisation; each hit's text is split back into its triple.
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/triple_record.hpp"
#include "store/retrieval/vector_hits.hpp"

namespace kg::ops {
namespace {

const StaticString kDebugEnter{"KG search: query=%s user=%s org=%s k=%d"};
const StaticString kDebugDone{"KG search returned %d results for query=%s"};

// {"subject", "predicate", "object", "score"} from the document's text.
Ref record_of(PyObject* text, PyObject* score) {
    Ref record = triple_record(split_triple_text(text).get());
    check(PyDict_SetItem(record.get(), names().score, score));
    return record;
}

}  // namespace

Ref search(const SearchArgs& args) {
    auto [self, query, user_id, org_id, k] = args;

    Logger logger = Logger::current();
    const bool debug = logger.enabled(LogLevel::Debug);
    if (debug) {
        logger.write(LogLevel::Debug, kDebugEnter, {py::head(query, 60).get(), user_id, org_id, k});
    }

    Ref docs = similar_documents(self, query, user_id, org_id, k);

    Ref results = Ref::steal(PyList_New(0));
    Ref hits = Ref::steal(PyObject_GetIter(docs.get()));
    while (PyObject* hit_ptr = PyIter_Next(hits.get())) {
        Ref hit = Ref::steal(hit_ptr);
        Ref doc, score;
        unpack_hit(hit.get(), doc, score);
        Ref text = document_text(doc.get());
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
