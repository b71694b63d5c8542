// The vector store's hits as parameters of the expansion statement.
#pragma once

#include "store/core/pyref.hpp"

namespace kg::retrieval {

// One list per column, one item per hit in the vector store's order.
struct Hits {
    Ref ids;         // the document's id when it is a str, else None
    Ref subjects;    // the three pieces of the document's text
    Ref predicates;
    Ref objects;
    Ref ranks;       // the score as a float, which the statement compares
    Ref scores;      // the score as the vector store gave it, for the records

    Py_ssize_t size() const { return PyList_GET_SIZE(scores.get()); }
};

// Reads every hit of `documents` (what similarity_search_with_score
// returned). A score that is no number raises with a note naming the hit.
Hits read_hits(PyObject* documents);

}  // namespace kg::retrieval
