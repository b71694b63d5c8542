// The callable type of the store's operations: vectorcall into the binder
// and the operation body, a descriptor that binds the instance (so the
// operations are methods), and the introspection attributes that host tools
// read (__name__, __qualname__, __doc__, __annotations__, __defaults__,
// __kwdefaults__, __signature__).
#pragma once

#include "store/core/operation_def.hpp"

namespace kg {

// Creates the type; called once at module load.
void ready_operation_type(PyObject* module);

// A new operation object for `definition`, as an attribute of the class
// `class_name` in the module `module_name`, or of the module itself when
// `class_name` is null (the functions of the companion modules).
Ref make_operation(const OperationDef& definition, PyObject* module_name, const char* class_name);

// The table behind `object` if it is one of our operations, else nullptr.
const OperationDef* operation_def_of(PyObject* object);

}  // namespace kg
