// Reduction of a metadata dict to a Compact JSON byte budget for the vector
// store: the longest text value is halved (first ⌊n/2⌋ characters plus
// U+2026) while it is longer than 64 characters and the copy does not fit;
// then "code_content" and "docstring" are dropped. The caller's dict is
// never changed.
#pragma once

#include "core/pyref.hpp"

namespace kg {

// `max_bytes` is an exact int. `known_size` is the length of the Compact
// JSON of `metadata` when the caller has already produced it, or -1.
Ref clamp_metadata(PyObject* metadata, PyObject* max_bytes, Py_ssize_t known_size);

}  // namespace kg
