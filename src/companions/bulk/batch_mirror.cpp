#include "companions/bulk/batch_mirror.hpp"

#include "store/core/handled_errors.hpp"
#include "store/core/log.hpp"
#include "store/core/py.hpp"
#include "store/writing/vector_mirror.hpp"

namespace kg::bulk {
namespace {

const StaticString kDebugFallback{"upsert_facts: add_texts of %d documents failed (%r); adding them one by one"};

}  // namespace

void mirror_batch(PyObject* self, const FactBatch& batch) {
    const Py_ssize_t count = batch.distinct_count();
    if (count == 0) return;
    try {
        // Copies: the vector store may keep or change what it is handed, and
        // the batch reads its own lists again when the call fails.
        add_to_vector_store(self, py::copy_list(batch.triples()).get(),
                            py::copy_list(batch.document_metadata()).get(), py::copy_list(batch.fact_ids()).get());
        return;
    } catch (const PyErrorAlreadySet&) {
        Ref exception = take_pending_exception();
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
