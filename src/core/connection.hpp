// Statements on the store's DuckDB connection. Each runs under the
// connection lock (conn_lock.hpp) together with the fetch of its rows.
#pragma once

#include "core/pyref.hpp"

namespace kg {

// conn.execute(sql) or conn.execute(sql, params); the result is discarded.
void execute(PyObject* conn, PyObject* sql, PyObject* params = nullptr);

// conn.execute(sql, params).fetchall()
Ref execute_fetchall(PyObject* conn, PyObject* sql, PyObject* params);

}  // namespace kg
