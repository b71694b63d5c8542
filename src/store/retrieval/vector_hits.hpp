// What the vector store answers to a similarity search, read the way search
// reads it: the call with its filter, each hit unpacked into a document and
// a score, each document's text split back into its triple.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// graph.vector_store.similarity_search_with_score(query, k=k,
// filter={"user_id": user_id, "org_id": org_id}), as it returned.
Ref similar_documents(PyObject* graph, PyObject* query, PyObject* user_id, PyObject* org_id, PyObject* k);

// Unpacks a hit into exactly two values, with the host's unpacking messages.
void unpack_hit(PyObject* hit, Ref& document, Ref& score);

// The document's `page_content`, which must be a str.
Ref document_text(PyObject* document);

// "s|p|o" split at the first two bars into a list of three pieces; the
// object keeps any further bars. Fewer than two bars: ValueError.
Ref split_triple_text(PyObject* text);

}  // namespace kg
