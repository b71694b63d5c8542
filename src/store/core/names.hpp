// Interned attribute, keyword and module-global names, created once at load.
#pragma once

#include "store/core/pyref.hpp"

namespace kg {

#define KG_NAMES(X)                                                       \
    /* module globals, looked up at the moment of use */                  \
    X(Path) X(duckdb) X(logging) X(hashlib) X(json) X(re) X(datetime)     \
    X(timedelta) X(timezone) X(Dict) X(List) X(KGraphBase)                \
    X(VectorStoreFactory) X(logger)                                       \
    /* instance and class attributes */                                   \
    X(_instance) X(_initialized) X(conn) X(vector_store) X(db_path)       \
    X(_VS_META_MAX) X(_SAFE_KEY_RE) X(_det_id) X(_clamp_metadata_for_vs)  \
    X(_ensure_schema) X(__new__)                                          \
    /* methods and keywords of host facilities */                         \
    X(execute) X(fetchall) X(connect) X(mkdir) X(parents) X(exist_ok)     \
    X(get_store) X(add_texts) X(metadatas) X(ids)                         \
    X(similarity_search_with_score) X(k) X(filter) X(page_content)        \
    X(dumps) X(loads) X(separators) X(sha256) X(hexdigest) X(now) X(utc)  \
    X(days) X(match) X(isEnabledFor) X(debug) X(info) X(warning) X(error) \
    X(exc_info) X(add_note) X(component) X(message) X(cause) X(lower)     \
    /* metadata keys */                                                   \
    X(user_id) X(org_id) X(code_content) X(docstring)                     \
    /* keys of the records the retrieval operations return */            \
    X(subject) X(predicate) X(object) X(score) X(metadata)                \
    /* parameters of the batch upsert */                                  \
    X(graph) X(facts)

struct Names {
#define KG_DECLARE_NAME(n) PyObject* n = nullptr;
    KG_NAMES(KG_DECLARE_NAME)
#undef KG_DECLARE_NAME

    // Interns every name not interned yet; throws on failure.
    void intern_all();
    // Drops them all (GIL held).
    void clear();
};

}  // namespace kg
