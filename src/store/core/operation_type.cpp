#include "store/core/operation_type.hpp"

#include "store/core/binder.hpp"
#include "store/core/entry_point.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

#include <cstddef>
#include <new>

namespace kg {
namespace {

struct OperationObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OperationDef* definition;
    PyObject* name;        // strong
    PyObject* qualname;    // strong
    PyObject* module;      // strong
    PyObject* param_names[kMaxParams];  // strong, interned
    PyObject* annotations;  // strong, built on first access
    PyObject* signature;    // strong, built on first access
};

OperationObject* as_operation(PyObject* o) { return reinterpret_cast<OperationObject*>(o); }

PyObject* operation_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return object_entry_point([&] {
        OperationObject* op = as_operation(callable);
        BoundArgs bound = bind_arguments(*op->definition, op->param_names, args, PyVectorcall_NARGS(nargsf), kwnames);
        return check_result(*op->definition, op->definition->body(bound));
    });
}

void operation_dealloc(PyObject* self) {
    OperationObject* op = as_operation(self);
    Py_XDECREF(op->name);
    Py_XDECREF(op->qualname);
    Py_XDECREF(op->module);
    for (PyObject*& n : op->param_names) Py_XDECREF(n);
    Py_XDECREF(op->annotations);
    Py_XDECREF(op->signature);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Instance access gives a bound method; class access gives the operation.
PyObject* operation_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* operation_repr(PyObject* self) {
    return PyUnicode_FromFormat("<operation %U>", as_operation(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_operation(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_operation(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_operation(self)->module); }

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_operation(self)->definition->doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

PyObject* get_annotations(PyObject* self, void*) {
    return object_entry_point([&] {
        OperationObject* op = as_operation(self);
        if (op->annotations == nullptr) {
            Ref annotations = Ref::steal(PyDict_New());
            for (std::size_t i = 0; i < op->definition->params.size(); ++i) {
                const char* text = op->definition->params[i].annotation;
                if (text != nullptr) check(PyDict_SetItem(annotations.get(), op->param_names[i], py::str(text).get()));
            }
            if (op->definition->return_annotation != nullptr) {
                check(PyDict_SetItemString(annotations.get(), "return", py::str(op->definition->return_annotation).get()));
            }
            op->annotations = annotations.release();
        }
        return Ref::borrow(op->annotations);
    });
}

// Defaults of the positional parameters, as a tuple, or None.
PyObject* get_defaults(PyObject* self, void*) {
    return object_entry_point([&] {
        const OperationDef& definition = *as_operation(self)->definition;
        Ref defaults = Ref::steal(PyList_New(0));
        for (const Param& p : definition.params) {
            if (p.kind == ParamKind::PositionalOrKeyword && p.has_default()) {
                check(PyList_Append(defaults.get(), default_of(p).get()));
            }
        }
        if (PyList_GET_SIZE(defaults.get()) == 0) return py::none();
        return Ref::steal(PyList_AsTuple(defaults.get()));
    });
}

// Defaults of the keyword-only parameters, as a dict, or None.
PyObject* get_kwdefaults(PyObject* self, void*) {
    return object_entry_point([&] {
        OperationObject* op = as_operation(self);
        Ref defaults = Ref::steal(PyDict_New());
        for (std::size_t i = 0; i < op->definition->params.size(); ++i) {
            const Param& p = op->definition->params[i];
            if (p.kind == ParamKind::KeywordOnly && p.has_default()) {
                check(PyDict_SetItem(defaults.get(), op->param_names[i], default_of(p).get()));
            }
        }
        if (PyDict_GET_SIZE(defaults.get()) == 0) return py::none();
        return defaults;
    });
}

const char* inspect_kind_name(ParamKind kind) {
    switch (kind) {
    case ParamKind::PositionalOrKeyword: return "POSITIONAL_OR_KEYWORD";
    case ParamKind::KeywordOnly: return "KEYWORD_ONLY";
    case ParamKind::VarPositional: return "VAR_POSITIONAL";
    case ParamKind::VarKeyword: return "VAR_KEYWORD";
    }
    return "POSITIONAL_OR_KEYWORD";
}

// An inspect.Signature built from the table, so inspect.signature() and the
// tools built on it see parameters, kinds, defaults and annotations.
Ref build_signature(OperationObject* op) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter_type = py::attr(inspect.get(), "Parameter");
    Ref parameters = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < op->definition->params.size(); ++i) {
        const Param& p = op->definition->params[i];
        Ref kind = py::attr(parameter_type.get(), inspect_kind_name(p.kind));
        Ref kwargs = Ref::steal(PyDict_New());
        if (p.has_default()) check(PyDict_SetItemString(kwargs.get(), "default", default_of(p).get()));
        if (p.annotation) check(PyDict_SetItemString(kwargs.get(), "annotation", py::str(p.annotation).get()));
        Ref args = Ref::steal(PyTuple_Pack(2, op->param_names[i], kind.get()));
        Ref parameter = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        check(PyList_Append(parameters.get(), parameter.get()));
    }
    Ref signature_type = py::attr(inspect.get(), "Signature");
    Ref kwargs = Ref::steal(PyDict_New());
    if (op->definition->return_annotation) {
        check(PyDict_SetItemString(kwargs.get(), "return_annotation", py::str(op->definition->return_annotation).get()));
    }
    Ref args = Ref::steal(PyTuple_Pack(1, parameters.get()));
    return Ref::steal(PyObject_Call(signature_type.get(), args.get(), kwargs.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    return object_entry_point([&] {
        OperationObject* op = as_operation(self);
        if (op->signature == nullptr) op->signature = build_signature(op).release();
        return Ref::borrow(op->signature);
    });
}

PyGetSetDef operation_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef operation_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(OperationObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot operation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(operation_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(operation_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(operation_repr)},
    {Py_tp_getset, operation_getset},
    {Py_tp_members, operation_members},
    {0, nullptr},
};

PyType_Spec operation_type_spec = {
    "corvanta.kgraph.providers.duckdb_sqlite.duck_graph.operation",
    sizeof(OperationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    operation_slots,
};

}  // namespace

void ready_operation_type(PyObject* module) {
    PyTypeObject*& type = state().operation_type;
    if (type != nullptr) return;
    type = reinterpret_cast<PyTypeObject*>(
        Ref::steal(PyType_FromModuleAndSpec(module, &operation_type_spec, nullptr)).release());
}

const OperationDef* operation_def_of(PyObject* object) {
    PyTypeObject* type = state().operation_type;
    if (type == nullptr || Py_TYPE(object) != type) return nullptr;
    return as_operation(object)->definition;
}

Ref make_operation(const OperationDef& definition, PyObject* module_name, const char* class_name) {
    Ref object = Ref::steal(PyType_GenericAlloc(state().operation_type, 0));
    OperationObject* op = as_operation(object.get());  // zero-filled by the allocator
    op->vectorcall = operation_vectorcall;
    op->definition = &definition;
    op->name = Ref::steal(PyUnicode_InternFromString(definition.name)).release();
    op->qualname = class_name == nullptr
                       ? Ref::borrow(op->name).release()
                       : Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, definition.name)).release();
    op->module = Py_NewRef(module_name);
    for (std::size_t i = 0; i < definition.params.size(); ++i) {
        op->param_names[i] = Ref::steal(PyUnicode_InternFromString(definition.params[i].name)).release();
    }
    return object;
}

}  // namespace kg
