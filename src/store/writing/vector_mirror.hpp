// Mirroring facts into the host's vector store, and the one way a failure of
// that mirror is tolerated: classified, logged, never undone in the table.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// self.vector_store.add_texts(texts, metadatas=metadatas, ids=ids), the
// attribute read included; throws on failure.
void add_to_vector_store(PyObject* self, PyObject* texts, PyObject* metadatas, PyObject* ids);

// The pending error came from mirroring `fact_id`. An expected duplicate,
// an unexpected ValueError or any other Exception is logged and cleared;
// anything outside the Exception family (interrupts, exit requests) unwinds.
void tolerate_mirror_failure(PyObject* fact_id);

// One document, its failure tolerated as above.
void mirror_fact(PyObject* self, PyObject* triple, PyObject* vs_meta, PyObject* fact_id);

}  // namespace kg
