// The cutoff of a purge by age, shared by the store's purge and the
// retention module's.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// datetime.now(timezone.utc) - timedelta(days=days): zone-aware, in UTC,
// through the module's names as bound at the moment of the call.
Ref expiry_cutoff(PyObject* days);

}  // namespace kg
