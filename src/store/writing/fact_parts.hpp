// The pieces of one fact's write that the single upsert and the batch
// upsert share, so that both derive the same identifier, row and log line.
#pragma once

#include "store/core/log.hpp"
#include "store/core/operation_def.hpp"
#include "store/core/pyref.hpp"

namespace kg {

// metadata.get(key, ""): the actor fields are taken as they are, never
// converted or tested.
Ref actor_field(PyObject* metadata, PyObject* key);

// subject|predicate|obj, with no escaping.
Ref triple_text(PyObject* subject, PyObject* predicate, PyObject* obj);

// What identifies a fact: its actor, its triple text and its identifier
// from the store's `_det_id`, always an exact str.
struct FactIdentity {
    Ref user_id;
    Ref org_id;
    Ref triple;
    Ref fact_id;
};

// The instance's `_det_id`, read when this is made, for the facts of one
// call. While it is the store's own operation the identifier is taken
// directly, with the operation's own argument checks and the module's
// `hashlib.sha256` read once, here; an override is called for every fact.
// Either way an identifier that is not an exact str is refused with
// TypeError, before anything is written.
class FactIdentifier {
public:
    explicit FactIdentifier(PyObject* self);
    FactIdentity identify(PyObject* subject, PyObject* predicate, PyObject* obj, PyObject* metadata) const;

private:
    Ref det_id_;
    // Set while `_det_id` is the store's own: its parameters and the
    // module's `hashlib.sha256`.
    const Param* params_ = nullptr;
    Ref sha256_;
};

// The debug line of a write: cut identifier, actor, cut subject and
// predicate, and the object's length. The caller checks the level first.
void log_fact_write(const Logger& logger, PyObject* fact_id, PyObject* user_id, PyObject* org_id,
                    PyObject* subject, PyObject* predicate, PyObject* obj);

}  // namespace kg
