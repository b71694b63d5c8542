// The functions of the companion module `retention`, each with the struct
// of its arguments as the binder bound them (module.cpp holds the tables).
#pragma once

#include "store/core/pyref.hpp"

namespace kg::retention {

struct PurgeExpiredArgs {
    PyObject* graph;
    PyObject* days;
};
Ref purge_expired(const PurgeExpiredArgs& args);

struct DeleteContextArgs {
    PyObject* graph;
    PyObject* org_id;
    PyObject* graph_slice_id;
};
Ref delete_context(const DeleteContextArgs& args);

struct ReconcileArgs {
    PyObject* graph;
};
Ref reconcile(const ReconcileArgs& args);

}  // namespace kg::retention
