#include "store/writing/fact_parts.hpp"

#include "store/core/binder.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operation_type.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"
#include "store/writing/fact_identity.hpp"

#include <algorithm>
#include <iterator>

namespace kg {
namespace {

const StaticString kDebugWrite{"upsert_fact: id=%s user=%s org=%s subj=%s pred=%s obj_len=%d"};

// The first `max_chars` items of a text (or any sliceable an override returns).
Ref cut(PyObject* value, Py_ssize_t max_chars) {
    if (PyUnicode_Check(value)) return py::head(value, max_chars);
    return Ref::steal(PySequence_GetSlice(value, 0, max_chars));
}

}  // namespace

Ref actor_field(PyObject* metadata, PyObject* key) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(metadata, key, &value)) == 0) return py::str("");
    return Ref::steal(value);
}

Ref triple_text(PyObject* subject, PyObject* predicate, PyObject* obj) {
    PyObject* const parts[] = {subject, predicate, obj};
    Py_ssize_t length = std::size(parts) - 1;
    Py_UCS4 max_char = '|';
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part));
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        if (i > 0) PyUnicode_WRITE(PyUnicode_KIND(text.get()), PyUnicode_DATA(text.get()), at++, '|');
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(parts[i]);
        check(PyUnicode_CopyCharacters(text.get(), at, parts[i], 0, part_length));
        at += part_length;
    }
    return text;
}

namespace {

// A fact's actor and triple text, its identifier still to come.
FactIdentity unidentified(PyObject* subject, PyObject* predicate, PyObject* obj, PyObject* metadata) {
    return {actor_field(metadata, names().user_id), actor_field(metadata, names().org_id),
            triple_text(subject, predicate, obj), Ref()};
}

Ref call_det_id(PyObject* det_id, const FactIdentity& identity) {
    PyObject* args[] = {identity.triple.get(), identity.user_id.get(), identity.org_id.get()};
    return Ref::steal(PyObject_Vectorcall(det_id, args, std::size(args), nullptr));
}

// The identifier is a key of the table and of the vector store: whatever
// produced it (an override of `_det_id`, a replaced `hashlib`), it must be
// text before anything is written. The message is that of `_det_id`'s own
// result rule.
Ref checked_fact_id(Ref fact_id) {
    if (!PyUnicode_CheckExact(fact_id.get())) {
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(fact_id.get())->tp_name);
    }
    return fact_id;
}

}  // namespace

FactIdentifier::FactIdentifier(PyObject* self) : det_id_(py::attr(self, names()._det_id)) {
    if (operation_def_of(det_id_.get()) == &det_id_definition()) {
        params_ = det_id_definition().params.data();
        Ref hashlib = global(names().hashlib);
        sha256_ = py::attr(hashlib.get(), names().sha256);
    }
}

FactIdentity FactIdentifier::identify(PyObject* subject, PyObject* predicate, PyObject* obj,
                                      PyObject* metadata) const {
    FactIdentity identity = unidentified(subject, predicate, obj, metadata);
    if (!sha256_) {
        identity.fact_id = checked_fact_id(call_det_id(det_id_.get(), identity));
        return identity;
    }
    // The triple text is exact text by construction; the actor fields are
    // whatever the metadata holds.
    check_argument_type(params_[1], identity.user_id.get());
    check_argument_type(params_[2], identity.org_id.get());
    identity.fact_id = checked_fact_id(
        fact_digest(sha256_.get(), identity.triple.get(), identity.user_id.get(), identity.org_id.get()));
    return identity;
}

void log_fact_write(const Logger& logger, PyObject* fact_id, PyObject* user_id, PyObject* org_id,
                    PyObject* subject, PyObject* predicate, PyObject* obj) {
    Ref object_length = py::integer(PyUnicode_GET_LENGTH(obj));
    logger.write(LogLevel::Debug, kDebugWrite,
                 {cut(fact_id, 12).get(), user_id, org_id, py::head(subject, 40).get(), py::head(predicate, 30).get(),
                  object_length.get()});
}

}  // namespace kg
