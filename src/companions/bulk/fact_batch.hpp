// The facts of one batch call, checked and prepared before anything is
// written: the identifier of every position, and for each distinct
// identifier the row and the document of its last occurrence, so that one
// statement can write the rows (the engine refuses to touch a row twice in
// one statement) with the outcome of writing the facts one by one in order.
#pragma once

#include "store/core/pyref.hpp"

#include <vector>

namespace kg::bulk {

class FactBatch {
public:
    // Reads every fact of `facts` for the store `self`. A fact that fails
    // its checks raises its error with a note naming its position.
    static FactBatch collect(PyObject* self, PyObject* facts);

    Py_ssize_t distinct_count() const { return PyList_GET_SIZE(fact_ids_.get()); }

    // The identifiers in input order, repeats included: the call's result.
    Ref ids_in_input_order() const { return Ref::borrow(input_ids_.get()); }
    // One list per column of the facts table (created_at aside), in the
    // order of the batch statement's parameters: copies, for host code (a
    // replaced connection) may change what it is handed.
    Ref column_lists() const;
    // The batch's own lists, one item per distinct identifier: never handed
    // to host code, so their items may be read unchecked.
    PyObject* fact_ids() const { return fact_ids_.get(); }
    PyObject* triples() const { return triples_.get(); }
    PyObject* document_metadata() const { return vs_metas_.get(); }
    // A copy of the metadata texts.
    Ref metadata_jsons() const;
    // The position in `facts` of the occurrence a distinct fact holds.
    Py_ssize_t input_position(Py_ssize_t distinct_index) const { return positions_[distinct_index]; }

private:
    FactBatch();

    Ref input_ids_;
    Ref slot_of_;  // fact id -> index into the per-fact lists
    // Per distinct fact, in order of first occurrence, holding the values
    // of its last occurrence.
    Ref fact_ids_, subjects_, predicates_, objs_, user_ids_, org_ids_, metadata_jsons_;
    Ref triples_, vs_metas_;
    std::vector<Py_ssize_t> positions_;

    friend class FactCollector;
};

}  // namespace kg::bulk
