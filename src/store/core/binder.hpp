// Binds the arguments of one call to an operation's parameters and applies
// the boundary rules: the host's binding messages, integer normalisation and
// exact-type checks. Also the rule applied to each operation's result.
#pragma once

#include "store/core/operation_def.hpp"

namespace kg {

// `param_names` holds the interned names of `definition.params`, in order.
// Throws PyErrorAlreadySet with a TypeError (or the error of an integer
// conversion) set.
BoundArgs bind_arguments(const OperationDef& definition, PyObject* const* param_names, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

// The integer rule of the boundary on its own, for a value that reaches an
// operation's body without a call (a class constant read by the upsert).
Ref normalise_integer_argument(const char* param_name, PyObject* value);

// The exact-type rule of the boundary for one value of `param`, with the
// boundary's message, for values that reach a body without a call of their
// own (the facts of a batch).
void check_argument_type(const Param& param, PyObject* value);

// The default of `param` as a new reference, or a null Ref when it has none.
Ref default_of(const Param& param);

Ref check_result(const OperationDef& definition, Ref result);

}  // namespace kg
