// The fact identifier: SHA-256 of triple + user + organisation in strict
// UTF-8, with nothing between the pieces, as 64 lower-case hex characters.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// The identifier, with `sha256` being the module's `hashlib.sha256`. A lone
// surrogate in any piece raises UnicodeEncodeError.
Ref fact_digest(PyObject* sha256, PyObject* triple, PyObject* user_id, PyObject* org_id);

}  // namespace kg
