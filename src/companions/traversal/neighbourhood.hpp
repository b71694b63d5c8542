#pragma once

#include "store/core/pyref.hpp"

namespace kg::traversal {

// The bound arguments of neighbourhood (borrowed from the call).
struct NeighbourhoodArgs {
    PyObject* graph;
    PyObject* entity;
    PyObject* depth;
    PyObject* org_id;
    PyObject* user_id;  // None: every user of the organisation
    PyObject* limit;    // None: every fact reached
};

Ref neighbourhood(const NeighbourhoodArgs& args);

}  // namespace kg::traversal
