// Statements on the store's DuckDB connection. Each runs under the
// connection lock (conn_lock.hpp) together with the fetch of its rows.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

// conn.execute(sql) or conn.execute(sql, params); the result is discarded.
void execute(PyObject* conn, PyObject* sql, PyObject* params = nullptr);

// conn.execute(sql, params).fetchall()
Ref execute_fetchall(PyObject* conn, PyObject* sql, PyObject* params);

// The first value of the first row of fetched rows, or null (a connection a
// host replaced may return anything).
PyObject* first_value(PyObject* rows);

// The count a write statement returned, or -1 without one.
Py_ssize_t count_of(PyObject* rows);

// The position in the first value of fetched rows, checked before it
// indexes anything of `size` elements: -1 without a row (or for NULL),
// otherwise an int in [0, size), or TypeError / ValueError naming `what`
// (a connection a host replaced may answer anything). `base` is 1 for a
// position counted from one, as the engine's list functions count.
Py_ssize_t position_of(PyObject* rows, Py_ssize_t size, const char* what, Py_ssize_t base = 0);

// Whether two transaction ids that statements returned are the same.
bool same_transaction(PyObject* a, PyObject* b);

// The id of the transaction a statement now runs in (a new one each time
// outside a transaction the caller opened), or null when the connection
// does not answer with one. Called under the connection lock, so that what
// it tells still holds for the next statement.
Ref current_transaction(PyObject* conn);

}  // namespace kg
