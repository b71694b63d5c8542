#include "store/core/connection.hpp"

#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

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

PyObject* first_value(PyObject* rows) {
    if (!PyList_Check(rows) || PyList_GET_SIZE(rows) == 0) return nullptr;
    PyObject* row = PyList_GET_ITEM(rows, 0);
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) == 0) return nullptr;
    return PyTuple_GET_ITEM(row, 0);
}

Py_ssize_t count_of(PyObject* rows) {
    PyObject* count = first_value(rows);
    if (count == nullptr || !PyLong_CheckExact(count)) return -1;
    const Py_ssize_t value = PyLong_AsSsize_t(count);
    if (value == -1 && PyErr_Occurred()) throw_error_already_set();
    return value;
}

Py_ssize_t position_of(PyObject* rows, Py_ssize_t size, const char* what, Py_ssize_t base) {
    PyObject* value = first_value(rows);
    if (value == nullptr || value == Py_None) return -1;
    if (!PyLong_Check(value)) raise(PyExc_TypeError, "%s returned %.200s, not int", what, Py_TYPE(value)->tp_name);
    const Py_ssize_t position = PyLong_AsSsize_t(value);
    if (position == -1 && PyErr_Occurred()) throw_error_already_set();
    if (position < base || position - base >= size) {
        raise(PyExc_ValueError, "%s returned %zd, outside %zd..%zd", what, position, base, base + size - 1);
    }
    return position - base;
}

bool same_transaction(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

Ref current_transaction(PyObject* conn) {
    static const StaticString question{"SELECT current_transaction_id()"};
    Ref rows = execute_fetchall(conn, question.get(), nullptr);
    PyObject* transaction = first_value(rows.get());
    return transaction == nullptr ? Ref() : Ref::borrow(transaction);
}

}  // namespace kg
