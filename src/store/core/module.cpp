// Module definition and load: the guards against a second initialisation and
// a second interpreter, and the names bound in the namespace, in order.
#include "store/core/entry_point.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operation_type.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"

#include <pthread.h>

namespace kg {
namespace {

Ref import(const char* module_name) { return Ref::steal(PyImport_ImportModule(module_name)); }

// `from module_name import attribute`, with the host's error for a missing name.
Ref import_from(const char* module_name, const char* attribute) {
    Ref module = import(module_name);
    PyObject* value = PyObject_GetAttrString(module.get(), attribute);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, module_name);
    }
    return Ref::steal(value);
}

// The module's exit hook: the runtime that loaded the module is ending, and
// from here on no statement starts on another thread (conn_lock.hpp). Python
// runs exit hooks last registered first, so host hooks registered after the
// load still find the store open to all threads; those registered before it
// run after this one and can use the store from the exiting thread only.
PyObject* close_store_at_exit(PyObject* /*self*/, PyObject* /*unused*/) {
    return object_entry_point([] {
        ModuleState& s = state();
        s.runtime_finished.store(true);
        s.conn_lock.close();
        return py::none();
    });
}

PyMethodDef exit_hook_def = {"_close_store_at_exit", close_store_at_exit, METH_NOARGS, nullptr};

// Runs in a forked child before anything else; the state lives on there.
void after_fork_in_child() { state().conn_lock.forget_other_threads_after_fork(); }

// Once per process, for forks by the host's `os.fork` and by C code alike.
void register_fork_handler() {
    static const int registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);
    if (registered != 0) raise(PyExc_OSError, "cannot register the store's fork handler (error %d)", registered);
}

void register_exit_hook(PyObject* module_name) {
    Ref hook = Ref::steal(PyCFunction_NewEx(&exit_hook_def, nullptr, module_name));
    Ref atexit = import("atexit");
    py::call_method(atexit.get(), py::str("register").get(), {hook.get()});
}

void bind(PyObject* globals, PyObject* name, Ref value) { check(PyDict_SetItem(globals, name, value.get())); }

void bind_host_names(PyObject* module) {
    const Names& n = names();
    PyObject* globals = PyModule_GetDict(module);
    bind(globals, n.Path, import_from("pathlib", "Path"));
    bind(globals, n.duckdb, import("duckdb"));
    bind(globals, n.logging, import("logging"));
    remember_standard_log_methods(global(n.logging).get());
    bind(globals, n.hashlib, import("hashlib"));
    Ref json = import("json");
    state().standard_dumps = py::attr(json.get(), n.dumps).release();
    state().standard_encoder_class = py::attr(json.get(), "JSONEncoder").release();
    bind(globals, n.json, std::move(json));
    bind(globals, n.re, import("re"));
    bind(globals, n.datetime, import_from("datetime", "datetime"));
    bind(globals, n.timedelta, import_from("datetime", "timedelta"));
    bind(globals, n.timezone, import_from("datetime", "timezone"));
    bind(globals, n.Dict, import_from("typing", "Dict"));
    bind(globals, n.List, import_from("typing", "List"));
    bind(globals, n.KGraphBase, import_from("corvanta.kgraph.base", "KGraphBase"));
    bind(globals, n.VectorStoreFactory, import_from("corvanta.vectorstores.factory", "VectorStoreFactory"));

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref logging = global(n.logging);
    bind(globals, n.logger, py::call_method(logging.get(), py::str("getLogger").get(), {module_name.get()}));
    Ref store_class = create_store_class(module_name.get());
    state().store_class = Py_NewRef(store_class.get());
    bind(globals, py::str(kStoreClassName).get(), std::move(store_class));
    register_exit_hook(module_name.get());
}

[[noreturn]] void raise_interpreter_change() {
    raise(PyExc_ImportError,
          "Interpreter change detected - this module can only be loaded into one interpreter per process.");
}

// Only a load that succeeds keeps the interpreter: a failed one lets it go
// and drops what it made, so that another interpreter may load the module.
void abandon_load(ModuleState& s) {
    s.forget_objects();
    s.interpreter.store(-1);
}

PyObject* module_create(PyObject* module_spec, PyModuleDef* /*def*/) {
    return object_entry_point([&] {
        ModuleState& s = state();
        // A runtime initialised again after the one that loaded the module.
        if (s.runtime_finished.load()) raise_interpreter_change();
        const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) throw_error_already_set();
        int64_t owner = -1;
        if (!s.interpreter.compare_exchange_strong(owner, current) && owner != current) raise_interpreter_change();
        // Importing again (after removal from sys.modules) yields the module
        // already initialised; its exec then has nothing to do.
        if (s.initialised_module != nullptr) return Ref::borrow(s.initialised_module);
        try {
            Ref name = py::attr(module_spec, "name");
            return Ref::steal(PyModule_NewObject(name.get()));
        } catch (const PyErrorAlreadySet&) {
            abandon_load(s);
            throw;
        }
    });
}

int module_exec(PyObject* module) {
    return status_entry_point([&] {
        ModuleState& s = state();
        if (s.initialised_module == module) return;
        if (s.initialised_module != nullptr) {
            raise(PyExc_RuntimeError,
                  "Module 'duck_graph' has already been imported. Re-initialisation is not supported.");
        }
        try {
            s.names.intern_all();
            ready_operation_type(module);
            s.globals = Py_NewRef(PyModule_GetDict(module));
            register_fork_handler();
            bind_host_names(module);
        } catch (const PyErrorAlreadySet&) {
            abandon_load(s);
            throw;
        }
        s.initialised_module = Py_NewRef(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Declared so that a second interpreter reaches our own, clearer refusal.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "duck_graph",
    "Knowledge-graph store backed by an embedded DuckDB file.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kg

PyMODINIT_FUNC PyInit_duck_graph() { return PyModuleDef_Init(&kg::module_def); }
