// The only way a fact is written: the row first, under its deterministic
// identifier, then the mirror document in the vector store. A failure of the
// mirror is classified and logged, never undone in the table.
#include "core/binder.hpp"
#include "core/connection.hpp"
#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/operation_type.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"
#include "writing/compact_json.hpp"
#include "writing/metadata_clamp.hpp"

namespace kg::ops {
namespace {

const StaticString kInsert{"INSERT OR REPLACE INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)"};
const StaticString kDebugWrite{"upsert_fact: id=%s user=%s org=%s subj=%s pred=%s obj_len=%d"};
const StaticString kDebugDuplicate{"upsert_fact: duplicate id %s in vector store (expected): %s"};
const StaticString kWarnValueError{"upsert_fact: unexpected ValueError adding to vector store: %s"};
const StaticString kErrorMirror{"upsert_fact: failed to add fact %s to vector store: %s"};

const StaticString kTripleSeparator{"|"};

constexpr const char* kDuplicateMarkers[] = {"duplicate", "already", "exist"};

// metadata.get(key, "")
Ref actor_field(PyObject* metadata, PyObject* key) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(metadata, key, &value)) == 0) return py::str("");
    return Ref::steal(value);
}

// The first `max_chars` items of a text (or any sliceable an override returns).
Ref cut(PyObject* value, Py_ssize_t max_chars) {
    if (PyUnicode_Check(value)) return py::head(value, max_chars);
    return Ref::steal(PySequence_GetSlice(value, 0, max_chars));
}

// self._clamp_metadata_for_vs(metadata, self._VS_META_MAX). When the clamp is
// our own, the length of the Compact JSON already made decides the fast path
// without serialising again; an override is called as it is.
Ref clamp_for_vector_store(PyObject* self, PyObject* metadata, Py_ssize_t json_length) {
    const Names& n = names();
    Ref clamp = py::attr(self, n._clamp_metadata_for_vs);
    Ref budget = py::attr(self, n._VS_META_MAX);
    const OperationDef* definition = operation_def_of(clamp.get());
    if (definition == nullptr || definition->body != clamp_metadata_for_vs) {
        return py::call(clamp.get(), {metadata, budget.get()});
    }
    Ref max_bytes = normalise_integer_argument("max_bytes", budget.get());
    return clamp_metadata(metadata, max_bytes.get(), json_length);
}

// Makes `exception` the one being handled while it is logged, so the logging
// facility finds it for the traceback as it would inside an except clause.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception) : previous_(Ref::steal_nullable(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception);
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;
    ~HandlingException() {
        // Keeps an error raised by the logging call pending across the reset.
        PyObject* pending = PyErr_GetRaisedException();
        PyErr_SetHandledException(previous_.get());
        PyErr_SetRaisedException(pending);
    }

private:
    Ref previous_;
};

bool reads_as_duplicate(PyObject* exception) {
    Ref text = Ref::steal(PyObject_Str(exception));
    Ref lowered = py::call_method(text.get(), names().lower, {});
    for (const char* marker : kDuplicateMarkers) {
        if (check(PyUnicode_Contains(lowered.get(), py::str(marker).get()))) return true;
    }
    return false;
}

// The pending error came from the mirror step: an expected duplicate, an
// unexpected ValueError or any other Exception is logged and swallowed;
// anything outside the Exception family (interrupts, exit requests) unwinds.
void tolerate_mirror_failure(PyObject* fact_id) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_already_set();
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    HandlingException handling(exception.get());
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

}  // namespace

Ref upsert_fact(const BoundArgs& args) {
    PyObject* self = args[0];
    PyObject* subject = args[1];
    PyObject* predicate = args[2];
    PyObject* obj = args[3];
    PyObject* metadata = args[4];
    const Names& n = names();

    Ref user_id = actor_field(metadata, n.user_id);
    Ref org_id = actor_field(metadata, n.org_id);
    Ref pieces = Ref::steal(PyTuple_Pack(3, subject, predicate, obj));
    Ref triple = Ref::steal(PyUnicode_Join(kTripleSeparator.get(), pieces.get()));
    Ref fact_id = py::call_method(self, n._det_id, {triple.get(), user_id.get(), org_id.get()});

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        Ref object_length = py::integer(PyUnicode_GET_LENGTH(obj));
        logger.write(LogLevel::Debug, kDebugWrite,
                     {cut(fact_id.get(), 12).get(), user_id.get(), org_id.get(), py::head(subject, 40).get(),
                      py::head(predicate, 30).get(), object_length.get()});
    }

    Ref metadata_json = compact_json(metadata);
    {
        Ref conn = py::attr(self, n.conn);
        Ref row = py::list({fact_id.get(), subject, predicate, obj, user_id.get(), org_id.get(), metadata_json.get()});
        execute(conn.get(), kInsert.get(), row.get());
    }

    const Py_ssize_t json_length = PyUnicode_Check(metadata_json.get()) ? PyUnicode_GET_LENGTH(metadata_json.get()) : -1;
    Ref vs_meta = clamp_for_vector_store(self, metadata, json_length);

    try {
        Ref vector_store = py::attr(self, n.vector_store);
        Ref texts = py::list({triple.get()});
        Ref metadatas = py::list({vs_meta.get()});
        Ref ids = py::list({fact_id.get()});
        static const StaticTuple kwnames{"metadatas", "ids"};
        py::call_method_kw(vector_store.get(), n.add_texts, {texts.get(), metadatas.get(), ids.get()}, kwnames.get());
    } catch (const PyErrorAlreadySet&) {
        tolerate_mirror_failure(fact_id.get());
    }
    return fact_id;
}

}  // namespace kg::ops
