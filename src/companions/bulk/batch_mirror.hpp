// The vector-store side of a batch, after its rows are committed.
#pragma once

#include "companions/bulk/fact_batch.hpp"

namespace kg::bulk {

// One add_texts call with every distinct fact of the batch. When it raises
// an Exception, each fact is added on its own so that every failure is
// classified and logged exactly as the single upsert does it. The table is
// never undone.
void mirror_batch(PyObject* self, const FactBatch& batch);

}  // namespace kg::bulk
