// The bodies of the store's operations, one per subsystem file, each with
// the struct of its arguments, already bound and checked by the binder, in
// the order of its table (store_class.cpp). `self` is the instance (`cls`
// the class, for __new__); static operations have neither.
#pragma once

#include "store/core/operation_def.hpp"

namespace kg::ops {

// store core: store/core/lifecycle.cpp, store/core/schema.cpp
struct StoreNewArgs {
    PyObject* cls;
};
Ref store_new(const StoreNewArgs& args);

struct StoreInitArgs {
    PyObject* self;
    PyObject* persist_path;
};
Ref store_init(const StoreInitArgs& args);

struct EnsureSchemaArgs {
    PyObject* self;
};
Ref ensure_schema(const EnsureSchemaArgs& args);

// fact writing: writing/
struct ClampArgs {
    PyObject* metadata;
    PyObject* max_bytes;
};
Ref clamp_metadata_for_vs(const ClampArgs& args);

struct DetIdArgs {
    PyObject* triple;
    PyObject* user_id;
    PyObject* org_id;
};
Ref det_id(const DetIdArgs& args);

struct UpsertFactArgs {
    PyObject* self;
    PyObject* subject;
    PyObject* predicate;
    PyObject* obj;
    PyObject* metadata;
};
Ref upsert_fact(const UpsertFactArgs& args);

// retrieval: retrieval/
struct SearchArgs {
    PyObject* self;
    PyObject* query;
    PyObject* user_id;
    PyObject* org_id;
    PyObject* k;
};
Ref search(const SearchArgs& args);

struct GetNeighboursArgs {
    PyObject* self;
    PyObject* entity;
    PyObject* depth;
};
Ref get_neighbours(const GetNeighboursArgs& args);

struct FetchByMetadataArgs {
    PyObject* self;
    PyObject* org_id;
    PyObject* filters;
};
Ref fetch_by_metadata(const FetchByMetadataArgs& args);

// retention: retention/
struct PurgeExpiredArgs {
    PyObject* self;
    PyObject* days;
};
Ref purge_expired(const PurgeExpiredArgs& args);

struct DeleteContextArgs {
    PyObject* self;
    PyObject* org_id;
    PyObject* graph_slice_id;
};
Ref delete_context(const DeleteContextArgs& args);

}  // namespace kg::ops
