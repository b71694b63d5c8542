#include "core/connection.hpp"

#include "core/module_state.hpp"
#include "core/py.hpp"

namespace kg {
namespace {

Ref execute_locked(PyObject* conn, PyObject* sql, PyObject* params) {
    if (params == nullptr) return py::call_method(conn, names().execute, {sql});
    return py::call_method(conn, names().execute, {sql, params});
}

}  // namespace

void execute(PyObject* conn, PyObject* sql, PyObject* params) {
    ConnLock::Guard guard(state().conn_lock);
    execute_locked(conn, sql, params);
}

Ref execute_fetchall(PyObject* conn, PyObject* sql, PyObject* params) {
    ConnLock::Guard guard(state().conn_lock);
    Ref result = execute_locked(conn, sql, params);
    return py::call_method(result.get(), names().fetchall, {});
}

}  // namespace kg
