#pragma once

#include "store/core/pyref.hpp"

namespace kg::retrieval {

// The bound arguments of context (borrowed from the call).
struct ContextArgs {
    PyObject* graph;
    PyObject* query;
    PyObject* user_id;
    PyObject* org_id;
    PyObject* k;
    PyObject* depth;
    PyObject* limit;
    PyObject* scope;  // "user" or "org"
};

Ref context(const ContextArgs& args);

}  // namespace kg::retrieval
