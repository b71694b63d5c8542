#include "companions/bulk/fact_batch.hpp"

#include "store/core/binder.hpp"
#include "store/core/handled_errors.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"
#include "store/writing/compact_json.hpp"
#include "store/writing/fact_parts.hpp"
#include "store/writing/metadata_clamp.hpp"

namespace kg::bulk {
namespace {

constexpr Py_ssize_t kFactFields = 4;  // subject, predicate, obj, metadata
constexpr Py_ssize_t kSignalCheckInterval = 1024;

// `item` unpacked into its four fields as `subject, predicate, obj, metadata
// = item` would, with the host's unpacking messages.
void unpack_fact(PyObject* item, PyObject* (&fields)[kFactFields], Ref (&owned)[kFactFields]) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && PySequence_Fast_GET_SIZE(item) == kFactFields) {
        for (Py_ssize_t i = 0; i < kFactFields; ++i) {
            owned[i] = Ref::borrow(PySequence_Fast_GET_ITEM(item, i));
            fields[i] = owned[i].get();
        }
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    for (Py_ssize_t i = 0; i < kFactFields; ++i) {
        PyObject* value = PyIter_Next(iterator.get());
        if (value == nullptr) {
            if (PyErr_Occurred()) throw_error_already_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", kFactFields, i);
        }
        owned[i] = Ref::steal(value);
        fields[i] = value;
    }
    PyObject* extra = PyIter_Next(iterator.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", kFactFields);
    }
    if (PyErr_Occurred()) throw_error_already_set();
}

// Adds to the pending error, when it is an Exception, a note naming the
// fact that raised it. Nothing is written before every fact is read.
[[noreturn]] void rethrow_for_position(Py_ssize_t position) {
    if (!pending_error_is_exception()) throw_error_already_set();
    PyObject* pending = PyErr_GetRaisedException();
    Ref note = Ref::steal_nullable(
        PyUnicode_FromFormat("facts[%zd] was refused; nothing of this upsert_facts call was written", position));
    if (!note) {
        PyErr_Clear();  // the fact's own error matters more than the note
        PyErr_SetRaisedException(pending);
        throw_error_already_set();
    }
    PyErr_SetRaisedException(pending);
    rethrow_with_note(note.get());
}

// Two facts of one call that share an id must be the same fact: the same
// texts, user and organisation. Exact str all of them, unless an override of
// `_det_id` let something else through; those are compared as the host does.
bool same_fact(PyObject* list_of[], Py_ssize_t index, PyObject* const values[]) {
    for (int field = 1; field <= 5; ++field) {  // subject .. org_id, after the id
        PyObject* earlier = PyList_GET_ITEM(list_of[field], index);
        if (earlier == values[field]) continue;
        if (check(PyObject_RichCompareBool(earlier, values[field], Py_EQ)) == 0) return false;
    }
    return true;
}

[[noreturn]] void raise_two_facts_one_id(PyObject* fact_id, Py_ssize_t earlier, Py_ssize_t later) {
    Ref head = py::head(fact_id, 12);
    raise(PyExc_ValueError,
          "facts[%zd] and facts[%zd] are different facts with one id %U (subject, predicate, object, user or "
          "organisation differ); nothing was written",
          earlier, later, head.get());
}

void append(const Ref& list, PyObject* value) { check(PyList_Append(list.get(), value)); }

void replace(const Ref& list, Py_ssize_t index, PyObject* value) {
    check(PyList_SetItem(list.get(), index, Py_NewRef(value)));
}

}  // namespace

// Reads the facts with the store's facilities, each read once per call.
class FactCollector {
public:
    explicit FactCollector(PyObject* self)
        : identifier_(self),
          reduction_(self),
          encoder_(),
          logger_(Logger::current()),
          debug_(logger_.enabled(LogLevel::Debug)) {}

    void add(FactBatch& batch, PyObject* item, Py_ssize_t position) {
        PyObject* fields[kFactFields];
        Ref owned[kFactFields];
        unpack_fact(item, fields, owned);
        const Param* params = upsert_fact_definition().params.data() + 1;  // after self
        for (Py_ssize_t i = 0; i < kFactFields; ++i) check_argument_type(params[i], fields[i]);
        PyObject* subject = fields[0];
        PyObject* predicate = fields[1];
        PyObject* obj = fields[2];
        PyObject* metadata = fields[3];

        auto [user_id, org_id, triple, fact_id] = identifier_.identify(subject, predicate, obj, metadata);
        if (debug_) log_fact_write(logger_, fact_id.get(), user_id.get(), org_id.get(), subject, predicate, obj);

        // The row and the document come from one snapshot of the metadata.
        Ref snapshot = Ref::steal(PyDict_Copy(metadata));
        Ref metadata_json = encoder_.encode(snapshot.get());
        const bool standard = encoder_.is_standard();
        const Py_ssize_t json_length = standard ? PyUnicode_GET_LENGTH(metadata_json.get()) : -1;
        Ref vs_meta = reduction_.reduce_measured(metadata, std::move(snapshot), standard, json_length);

        append(batch.input_ids_, fact_id.get());
        PyObject* slot = nullptr;
        check(PyDict_GetItemRef(batch.slot_of_.get(), fact_id.get(), &slot));
        PyObject* values[] = {fact_id.get(), subject,        predicate,           obj,         user_id.get(),
                              org_id.get(),  metadata_json.get(), triple.get(), vs_meta.get()};
        const Ref* lists[] = {&batch.fact_ids_, &batch.subjects_, &batch.predicates_,
                              &batch.objs_,     &batch.user_ids_, &batch.org_ids_,
                              &batch.metadata_jsons_, &batch.triples_, &batch.vs_metas_};
        if (slot == nullptr) {
            Ref index = py::integer(batch.distinct_count());
            check(PyDict_SetItem(batch.slot_of_.get(), fact_id.get(), index.get()));
            for (std::size_t i = 0; i < std::size(lists); ++i) append(*lists[i], values[i]);
            batch.positions_.push_back(position);
        } else {
            // A repeat of the same fact: the later occurrence wins, in the
            // earlier one's place.
            Ref owned_slot = Ref::steal(slot);
            const Py_ssize_t index = PyLong_AsSsize_t(slot);
            PyObject* row_lists[] = {batch.fact_ids_.get(), batch.subjects_.get(), batch.predicates_.get(),
                                     batch.objs_.get(), batch.user_ids_.get(), batch.org_ids_.get()};
            if (!same_fact(row_lists, index, values)) {
                raise_two_facts_one_id(fact_id.get(), batch.positions_[index], position);
            }
            for (std::size_t i = 0; i < std::size(lists); ++i) replace(*lists[i], index, values[i]);
            batch.positions_[index] = position;
        }
    }

private:
    FactIdentifier identifier_;
    VectorStoreReduction reduction_;
    CompactJsonEncoder encoder_;
    Logger logger_;
    bool debug_;
};

FactBatch::FactBatch()
    : input_ids_(Ref::steal(PyList_New(0))),
      slot_of_(Ref::steal(PyDict_New())),
      fact_ids_(Ref::steal(PyList_New(0))),
      subjects_(Ref::steal(PyList_New(0))),
      predicates_(Ref::steal(PyList_New(0))),
      objs_(Ref::steal(PyList_New(0))),
      user_ids_(Ref::steal(PyList_New(0))),
      org_ids_(Ref::steal(PyList_New(0))),
      metadata_jsons_(Ref::steal(PyList_New(0))),
      triples_(Ref::steal(PyList_New(0))),
      vs_metas_(Ref::steal(PyList_New(0))) {}

FactBatch FactBatch::collect(PyObject* self, PyObject* facts) {
    FactBatch batch;
    FactCollector collector(self);
    Ref iterator = Ref::steal(PyObject_GetIter(facts));
    Py_ssize_t position = 0;
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Ref owned_item = Ref::steal(item);
        // Reading a long batch runs no Python code of its own that would
        // notice Ctrl-C: ask now and then.
        if (position % kSignalCheckInterval == 0) check(PyErr_CheckSignals());
        try {
            collector.add(batch, item, position);
        } catch (const PyErrorAlreadySet&) {
            rethrow_for_position(position);
        }
        ++position;
    }
    if (PyErr_Occurred()) throw_error_already_set();
    return batch;
}

Ref FactBatch::metadata_jsons() const { return py::copy_list(metadata_jsons_.get()); }

Ref FactBatch::column_lists() const {
    return py::list({py::copy_list(fact_ids_.get()).get(), py::copy_list(subjects_.get()).get(),
                     py::copy_list(predicates_.get()).get(), py::copy_list(objs_.get()).get(),
                     py::copy_list(user_ids_.get()).get(), py::copy_list(org_ids_.get()).get(),
                     py::copy_list(metadata_jsons_.get()).get()});
}

}  // namespace kg::bulk
