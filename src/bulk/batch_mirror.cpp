#include "bulk/batch_mirror.hpp"

#include "core/log.hpp"
#include "core/py.hpp"
#include "writing/vector_mirror.hpp"

namespace kg::bulk {
namespace {

const StaticString kDebugFallback{"upsert_facts: add_texts of %d documents failed (%r); adding them one by one"};

}  // namespace

void mirror_batch(PyObject* self, const FactBatch& batch) {
    const Py_ssize_t count = batch.distinct_count();
    if (count == 0) return;
    try {
        add_to_vector_store(self, batch.triples(), batch.document_metadata(), batch.fact_ids());
        return;
    } catch (const PyErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        Logger logger = Logger::current();
        if (logger.enabled(LogLevel::Debug)) {
            logger.write(LogLevel::Debug, kDebugFallback, {py::integer(count).get(), exception.get()});
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        mirror_fact(self, PyList_GET_ITEM(batch.triples(), i), PyList_GET_ITEM(batch.document_metadata(), i),
                    PyList_GET_ITEM(batch.fact_ids(), i));
    }
}

}  // namespace kg::bulk
