// Construction of the one store of the process: instance creation keeps the
// singleton, start-up opens the database and obtains the vector store once.
#include "store/core/handled_errors.hpp"
#include "store/core/handled_exception.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"

namespace kg::ops {
namespace {

constexpr const char* kDatabaseFileName = "kgraph.duckdb";

// from corvanta.utils.exceptions import InitializationError, resolved on
// every start-up attempt.
Ref resolve_initialization_error() {
    Ref module = Ref::steal(PyImport_ImportModule("corvanta.utils.exceptions"));
    PyObject* type = PyObject_GetAttrString(module.get(), "InitializationError");
    if (type == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name 'InitializationError' from 'corvanta.utils.exceptions'");
    }
    return Ref::steal(type);
}

// `raise error from cause`, as the host's raise statement does it: a class
// is instantiated without arguments, anything that is not an exception
// then is a TypeError. Called while `cause` is handled.
[[noreturn]] void raise_from(Ref error, PyObject* cause) {
    if (PyExceptionClass_Check(error.get())) {
        Ref type = std::move(error);
        error = Ref::steal(PyObject_CallNoArgs(type.get()));
        if (!PyExceptionInstance_Check(error.get())) {
            raise(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                  type.get(), reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
        }
    } else if (!PyExceptionInstance_Check(error.get())) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    PyException_SetCause(error.get(), Py_NewRef(cause));  // also suppresses the context display
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error_already_set();
}

// Replaces the pending error (an Exception) by InitializationError, chained
// to it as a `raise ... from` in its handler would, and unwinds.
[[noreturn]] void raise_initialization_error(PyObject* initialization_error, PyObject* db_path) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    HandledException handling(cause.get());
    Ref cause_text = Ref::steal(PyObject_Str(cause.get()));
    Ref message = Ref::steal(PyUnicode_FromFormat("Failed to initialize DuckDB at %U: %U", db_path, cause_text.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(3, names().component, names().message, names().cause));
    raise_from(py::call_kw(initialization_error, {py::str(kStoreClassName).get(), message.get(), cause.get()},
                           kwnames.get()),
               cause.get());
}

bool already_started(PyObject* self) {
    PyObject* flag = nullptr;
    if (check(PyObject_GetOptionalAttr(self, names()._initialized, &flag)) == 0) return false;
    Ref owned = Ref::steal(flag);
    return py::truthy(owned.get());
}

}  // namespace

Ref store_new(const StoreNewArgs& args) {
    PyObject* cls = args.cls;
    const Names& n = names();
    Ref instance = py::attr(cls, n._instance);
    if (instance.get() == Py_None) {
        // super(DuckSqliteGraph, cls).__new__(cls): the base's creation, with
        // the class as its only argument.
        Ref super = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), {state().store_class, cls});
        Ref base_new = py::attr(super.get(), n.__new__);
        Ref created = py::call(base_new.get(), {cls});
        py::set_attr(cls, n._instance, created.get());
    }
    return py::attr(cls, n._instance);
}

Ref store_init(const StoreInitArgs& args) {
    auto [self, persist_path] = args;
    const Names& n = names();
    if (already_started(self)) return py::none();

    Ref initialization_error = resolve_initialization_error();
    Ref path = py::call(global(n.Path).get(), {persist_path});
    Ref mkdir_kwnames = Ref::steal(PyTuple_Pack(2, n.parents, n.exist_ok));
    Ref mkdir = py::attr(path.get(), n.mkdir);
    py::call_kw(mkdir.get(), {Py_True, Py_True}, mkdir_kwnames.get());
    Ref db_file = Ref::steal(PyNumber_TrueDivide(path.get(), py::str(kDatabaseFileName).get()));
    Ref db_path = Ref::steal(PyObject_Str(db_file.get()));
    py::set_attr(self, n.db_path, db_path.get());

    try {
        Ref duckdb = global(n.duckdb);
        Ref conn = py::call_method(duckdb.get(), n.connect, {db_path.get()});
        state().conn_lock.connection_opened();
        py::set_attr(self, n.conn, conn.get());
        py::call_method(self, n._ensure_schema, {});
    } catch (const PyErrorAlreadySet&) {
        if (!pending_error_is_exception()) throw;
        raise_initialization_error(initialization_error.get(), db_path.get());
    }

    Ref factory = global(n.VectorStoreFactory);
    Ref vector_store = py::call_method(factory.get(), n.get_store, {});
    py::set_attr(self, n.vector_store, vector_store.get());

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) {
        Ref message = Ref::steal(PyUnicode_FromFormat("%s initialized at %U", kStoreClassName, db_path.get()));
        logger.write_message(LogLevel::Info, message.get());
    }
    py::set_attr(self, n._initialized, Py_True);
    return py::none();
}

}  // namespace kg::ops
