#include "store/core/bigint_param.hpp"

#include "store/core/py.hpp"

#include <climits>

namespace kg {

Ref bigint_param(PyObject* value, long long* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error_already_set();
    if (overflow != 0) v = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (out != nullptr) *out = v;
    return overflow != 0 ? py::integer(v) : Ref::borrow(value);
}

}  // namespace kg
