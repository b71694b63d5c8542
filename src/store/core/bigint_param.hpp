// An exact int bound as a statement parameter of the engine's BIGINT type.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// `value` (an exact int) clamped to BIGINT's range: values beyond it are as
// good as unbounded for a hop count or a row count. `out`, when given,
// receives the clamped value.
Ref bigint_param(PyObject* value, long long* out = nullptr);

}  // namespace kg
