// Handing ids to the host's vector store: graph.vector_store.delete(ids=[...]).
#pragma once

#include "store/core/pyref.hpp"

namespace kg::outbox {

// Ids handed to one delete call at most.
inline constexpr Py_ssize_t kDeleteChunk = 1000;

// The vector store's `delete`, or an empty Ref when it has none or reading
// it failed with an Exception: then one warning naming `label` and the
// `pending` ids that stay pending is logged.
Ref find_delete(PyObject* graph, const char* label, Py_ssize_t pending);

// One call of `method` with `chunk` (a list of our own; the call gets a
// copy). Delivered when it returns True or None. It is not when it raises
// an Exception or returns anything else (False, 0, an awaitable of an
// asynchronous delete, which is closed unawaited): one warning naming
// `label` and the `pending` ids that stay pending. An interrupt, an exit
// request or an interrupted statement of the vector store passes through.
bool delete_chunk(PyObject* method, PyObject* chunk, const char* label, Py_ssize_t pending);

}  // namespace kg::outbox
