// The statement behind context: the hits matched to their rows, then the
// walk from them, ranked and cut inside the database.
#pragma once

#include "companions/retrieval/hits.hpp"

namespace kg::retrieval {

// Which facts take part: those of `org_id`, and of `user_id` too unless it
// is None. `hit_user` is the user whose search the hits answer.
struct ExpansionScope {
    PyObject* org_id;
    PyObject* user_id;
    PyObject* hit_user;
};

// The rows (subject, predicate, obj, hop, hit, id), in the records' order:
// `hit` is the position in `hits` of the hit whose score the fact carries.
// `depth` and `limit` are exact ints.
Ref expansion_rows(PyObject* graph, const Hits& hits, const ExpansionScope& scope, PyObject* depth,
                   PyObject* limit);

}  // namespace kg::retrieval
