#include "store/writing/vector_mirror.hpp"

#include "store/core/handled_errors.hpp"
#include "store/core/handled_exception.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

namespace kg {
namespace {

const StaticString kDebugDuplicate{"upsert_fact: duplicate id %s in vector store (expected): %s"};
const StaticString kWarnValueError{"upsert_fact: unexpected ValueError adding to vector store: %s"};
const StaticString kErrorMirror{"upsert_fact: failed to add fact %s to vector store: %s"};

constexpr const char* kDuplicateMarkers[] = {"duplicate", "already", "exist"};

bool reads_as_duplicate(PyObject* exception) {
    Ref text = Ref::steal(PyObject_Str(exception));
    Ref lowered = py::call_method(text.get(), names().lower, {});
    for (const char* marker : kDuplicateMarkers) {
        if (check(PyUnicode_Contains(lowered.get(), py::str(marker).get()))) return true;
    }
    return false;
}

}  // namespace

void add_to_vector_store(PyObject* self, PyObject* texts, PyObject* metadatas, PyObject* ids) {
    const Names& n = names();
    Ref vector_store = py::attr(self, n.vector_store);
    Ref kwnames = Ref::steal(PyTuple_Pack(2, n.metadatas, n.ids));
    py::call_method_kw(vector_store.get(), n.add_texts, {texts, metadatas, ids}, kwnames.get());
}

void tolerate_mirror_failure(PyObject* fact_id) {
    Ref exception = take_pending_exception();
    HandledException handling(exception.get());
    Logger logger = Logger::current();
    if (PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
        if (reads_as_duplicate(exception.get())) {
            if (logger.enabled(LogLevel::Debug)) {
                logger.write(LogLevel::Debug, kDebugDuplicate, {fact_id, exception.get()});
            }
        } else if (logger.enabled(LogLevel::Warning)) {
            logger.write(LogLevel::Warning, kWarnValueError, {exception.get()}, true);
        }
    } else if (logger.enabled(LogLevel::Error)) {
        logger.write(LogLevel::Error, kErrorMirror, {fact_id, exception.get()}, true);
    }
}

void mirror_fact(PyObject* self, PyObject* triple, PyObject* vs_meta, PyObject* fact_id) {
    try {
        Ref texts = py::list({triple});
        Ref metadatas = py::list({vs_meta});
        Ref ids = py::list({fact_id});
        add_to_vector_store(self, texts.get(), metadatas.get(), ids.get());
    } catch (const PyErrorAlreadySet&) {
        tolerate_mirror_failure(fact_id);
    }
}

}  // namespace kg
