// Handing pending ids to the host's vector store.
#pragma once

#include "core/pyref.hpp"

namespace kg::retention {

// Ids handed to one delete call at most.
inline constexpr Py_ssize_t kDeleteChunk = 1000;

// Calls graph.vector_store.delete(ids=[...]) with `ids` (a list of our own)
// in chunks, in order, and stops at the first chunk that fails: a vector
// store without `delete`, a call that raises an Exception or returns False.
// A failure is logged as one warning naming `function`. Returns how many
// ids were delivered: always a prefix of `ids`. An interrupt, an exit
// request or an interrupted database statement of the vector store passes
// through; the ids delivered before it stay pending and go again later.
Py_ssize_t deliver(PyObject* graph, const char* function, PyObject* ids);

}  // namespace kg::retention
