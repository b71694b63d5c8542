#include "store/core/companion.hpp"

#include "store/core/module_state.hpp"
#include "store/core/operation_type.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"

namespace kg {

void load_store_module() {
    Ref store_module = Ref::steal(PyImport_ImportModule("corvanta.kgraph.providers.duckdb_sqlite.duck_graph"));
}

void add_functions(PyObject* module, std::initializer_list<const OperationDef*> functions) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    for (const OperationDef* definition : functions) {
        Ref function = make_operation(*definition, module_name.get(), nullptr);
        check(PyModule_AddObjectRef(module, definition->name, function.get()));
    }
}

void check_started_store(PyObject* graph, const char* function) {
    if (!PyObject_TypeCheck(graph, reinterpret_cast<PyTypeObject*>(state().store_class))) {
        raise(PyExc_TypeError, "%s() argument 'graph' must be %s, not %.200s", function, kStoreClassName,
              Py_TYPE(graph)->tp_name);
    }
    PyObject* flag = nullptr;
    const bool has_flag = check(PyObject_GetOptionalAttr(graph, names()._initialized, &flag)) != 0;
    Ref owned = Ref::steal_nullable(flag);
    if (!has_flag || !py::truthy(owned.get())) {
        raise(PyExc_ValueError, "%s() needs a started %s: its start-up has not succeeded", function,
              kStoreClassName);
    }
}

}  // namespace kg
