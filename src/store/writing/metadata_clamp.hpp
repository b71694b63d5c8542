// Reduction of a metadata dict to a Compact JSON byte budget for the vector
// store: the longest text value is halved (first ⌊n/2⌋ characters plus
// U+2026) while it is longer than 64 characters and the copy does not fit;
// then "code_content" and "docstring" are dropped. The caller's dict is
// never changed.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// A reduced copy of `metadata`; `max_bytes` is an exact int.
Ref clamp_metadata(PyObject* metadata, PyObject* max_bytes);

// Reduces `copy`, a private shallow copy of some metadata, and returns it.
// `standard_json` is the call's json_is_standard() decision: sizes are then
// accounted, otherwise each pass is measured by the module's serialiser.
// `json_length` is the length of the Compact JSON of `copy` made by the
// standard serialiser just before, with no other code run since, or -1.
Ref clamp_copy(Ref copy, PyObject* max_bytes, bool standard_json, Py_ssize_t json_length = -1);

// The instance's reduction for the vector store: its
// `_clamp_metadata_for_vs` with its `_VS_META_MAX`, both read when this is
// made. Our own clamp runs directly; an override is called as it is.
class VectorStoreReduction {
public:
    explicit VectorStoreReduction(PyObject* self);

    // The document metadata for `metadata`.
    Ref reduce(PyObject* metadata) const;
    // The same, for a caller that has just made `snapshot` (a shallow copy
    // of `metadata`) and measured its Compact JSON as clamp_copy takes it.
    Ref reduce_measured(PyObject* metadata, Ref snapshot, bool standard_json, Py_ssize_t json_length) const;

private:
    Ref clamp_;
    Ref budget_;     // as read from the instance
    Ref max_bytes_;  // normalised to an exact int; only for our own clamp
};

}  // namespace kg
