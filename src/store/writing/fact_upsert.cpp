// The single-fact write: the row first, under its deterministic identifier,
// then the mirror document in the vector store. A failure of the mirror is
// classified and logged, never undone in the table. Every result of a host
// facility that reaches the row (the identifier, the metadata text) is
// checked before the row is written, as the batch upsert checks it. A
// deletion that overlaps the write never leaves the document behind
// (store/outbox/document_traffic.hpp).
#include "store/core/conn_lock.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/outbox/delivery.hpp"
#include "store/writing/compact_json.hpp"
#include "store/writing/fact_parts.hpp"
#include "store/writing/fact_row.hpp"
#include "store/writing/metadata_clamp.hpp"
#include "store/writing/vector_mirror.hpp"

#include <optional>

namespace kg::ops {

Ref upsert_fact(const UpsertFactArgs& args) {
    auto [self, subject, predicate, obj, metadata] = args;
    const Names& n = names();

    auto [user_id, org_id, triple, fact_id] = FactIdentifier(self).identify(subject, predicate, obj, metadata);

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Debug)) {
        log_fact_write(logger, fact_id.get(), user_id.get(), org_id.get(), subject, predicate, obj);
    }

    Ref metadata_json = checked_json_text(compact_json(metadata));
    Ref ids = py::list({fact_id.get()});
    std::optional<outbox::DocumentTraffic::Mirror> mirror;
    {
        Ref conn = py::attr(self, n.conn);
        Ref row = py::list({fact_id.get(), subject, predicate, obj, user_id.get(), org_id.get(), metadata_json.get()});
        ConnLock::Guard writing(state().conn_lock);
        write_fact_row(conn.get(), row.get(), fact_id.get());
        mirror.emplace(outbox::traffic(), ids.get());
    }

    // Measured afresh: the statement let other threads run, and reading the
    // budget may run code, so the metadata may have changed since.
    Ref vs_meta = VectorStoreReduction(self).reduce(metadata);
    mirror->wait_for_deletes();
    mirror_fact(self, triple.get(), vs_meta.get(), fact_id.get());
    outbox::finish_mirror(self, "upsert_fact", *mirror);
    return std::move(fact_id);  // a structured binding is not moved implicitly
}

}  // namespace kg::ops
