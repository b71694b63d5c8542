#pragma once

#include "store/core/pyref.hpp"

namespace kg::bulk {

// The bound arguments of upsert_facts (borrowed from the call).
struct UpsertFactsArgs {
    PyObject* graph;
    PyObject* facts;
};

Ref upsert_facts(const UpsertFactsArgs& args);

}  // namespace kg::bulk
