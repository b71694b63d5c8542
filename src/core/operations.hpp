// The bodies of the store's operations, one per subsystem file. Each
// receives the arguments already bound and checked by the binder; index 0 is
// the instance (or the class, for __new__) unless the operation is static.
#pragma once

#include "core/operation_def.hpp"

namespace kg::ops {

// store core: core/lifecycle.cpp, core/schema.cpp
Ref store_new(const BoundArgs& args);
Ref store_init(const BoundArgs& args);
Ref ensure_schema(const BoundArgs& args);

// fact writing: writing/
Ref clamp_metadata_for_vs(const BoundArgs& args);
Ref det_id(const BoundArgs& args);
Ref upsert_fact(const BoundArgs& args);

// retrieval: retrieval/
Ref search(const BoundArgs& args);
Ref get_neighbours(const BoundArgs& args);
Ref fetch_by_metadata(const BoundArgs& args);

// retention: retention/
Ref purge_expired(const BoundArgs& args);
Ref delete_context(const BoundArgs& args);

}  // namespace kg::ops
