// One statement. The scope's facts are read once into `scope`. Each hit is
// matched to its row by the document's id, or, when no fact of the scope
// has that id, by its text as a fact of the user the search was for; a hit
// without a row in the scope is dropped, and a row hit twice keeps its best
// hit. Hop 1 is every fact that touches a hit's subject or object; each
// further hop goes from the object of a fact first reached at the hop before
// to the facts that have it as subject. The recursion keeps one row per fact
// (USING KEY) and adds only facts that no earlier step reached (`recurring`
// is every row kept so far), so it ends when a step reaches nothing new,
// however large `depth` is: work and memory are bounded by the scope's
// facts. A fact reached from several facts of one hop carries the best rank
// among them, and the position of that hit (the vector store's first among
// equal ranks), so that its record can show the score as it was given.
// `rowid` names a fact within the statement more cheaply than its id.
#include "companions/retrieval/expansion.hpp"

#include "store/core/bigint_param.hpp"
#include "store/core/connection.hpp"
#include "store/core/module_state.hpp"
#include "store/core/py.hpp"
#include "store/retrieval/triple_record.hpp"

namespace kg::retrieval {
namespace {

const StaticString kExpansion{
    "WITH RECURSIVE scope AS MATERIALIZED (\n"
    "    SELECT rowid AS rid, id, subject, predicate, obj, user_id FROM facts\n"
    "    WHERE org_id = ? AND (?::TEXT IS NULL OR user_id = ?)\n"
    "), hit AS (\n"
    "    SELECT unnest(range(?::BIGINT)) AS pos, unnest(?::TEXT[]) AS id, unnest(?::TEXT[]) AS s,\n"
    "           unnest(?::TEXT[]) AS p, unnest(?::TEXT[]) AS o, unnest(?::DOUBLE[]) AS rank\n"
    "), seed AS (\n"
    "    SELECT coalesce(by_id.rid, by_text.rid) AS rid, max(h.rank) AS rank,\n"
    "           arg_max(h.pos, (h.rank, -h.pos)) AS pos\n"
    "    FROM hit h\n"
    "    LEFT JOIN scope by_id ON by_id.id = h.id\n"
    "    LEFT JOIN scope by_text ON by_id.rid IS NULL AND by_text.subject = h.s\n"
    "        AND by_text.predicate = h.p AND by_text.obj = h.o AND by_text.user_id = ?\n"
    "    WHERE coalesce(by_id.rid, by_text.rid) IS NOT NULL\n"
    "    GROUP BY 1\n"
    "), seed_end AS (\n"
    "    SELECT f.subject AS e, x.rank, x.pos FROM seed x JOIN scope f USING (rid)\n"
    "    UNION ALL\n"
    "    SELECT f.obj, x.rank, x.pos FROM seed x JOIN scope f USING (rid)\n"
    "), touch AS (\n"
    "    SELECT f.rid, f.obj, e.rank, e.pos FROM seed_end e JOIN scope f ON f.subject = e.e\n"
    "    UNION ALL\n"
    "    SELECT f.rid, f.obj, e.rank, e.pos FROM seed_end e JOIN scope f ON f.obj = e.e\n"
    "), anchor AS (\n"
    "    SELECT rid, 0 AS hop, NULL::TEXT AS o, rank, pos FROM seed\n"
    "    UNION ALL\n"
    "    SELECT rid, 1, any_value(obj), max(rank), arg_max(pos, (rank, -pos)) FROM touch\n"
    "    WHERE ?::BIGINT >= 1 AND rid NOT IN (SELECT rid FROM seed)\n"
    "    GROUP BY rid\n"
    "), reached(rid, hop, o, rank, pos) USING KEY (rid) AS (\n"
    "    SELECT * FROM anchor\n"
    "    UNION\n"
    "    SELECT f.rid, any_value(r.hop) + 1, any_value(f.obj), max(r.rank), arg_max(r.pos, (r.rank, -r.pos))\n"
    "    FROM reached r JOIN scope f ON f.subject = r.o\n"
    "    WHERE r.hop >= 1 AND r.hop < ?\n"
    "      AND NOT EXISTS (SELECT 1 FROM recurring.reached seen WHERE seen.rid = f.rid)\n"
    "    GROUP BY f.rid\n"
    ")\n"
    "SELECT f.subject, f.predicate, f.obj, r.hop, r.pos, f.id FROM reached r JOIN scope f USING (rid)\n"
    "ORDER BY r.hop, r.rank DESC, f.subject, f.predicate, f.obj, f.id LIMIT ?"};

}  // namespace

Ref expansion_rows(PyObject* graph, const Hits& hits, const ExpansionScope& scope, PyObject* depth,
                   PyObject* limit) {
    Ref count = py::integer(hits.size());
    Ref hops = bigint_param(depth);
    Ref params = py::list({scope.org_id, scope.user_id, scope.user_id, count.get(), hits.ids.get(),
                           hits.subjects.get(), hits.predicates.get(), hits.objects.get(), hits.ranks.get(),
                           scope.hit_user, hops.get(), hops.get(), bigint_param(limit).get()});
    Ref conn = py::attr(graph, names().conn);
    return row_list(execute_fetchall(conn.get(), kExpansion.get(), params.get()));
}

}  // namespace kg::retrieval
