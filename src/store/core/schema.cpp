// The facts table and its two secondary indexes. Every statement is
// conditional on absence, so running it on an existing database changes
// nothing; an existing table is never inspected or altered.
#include "store/core/connection.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"

namespace kg::ops {
namespace {

// Column order matters: the upsert inserts by position.
const StaticString kCreateTable{
    "CREATE TABLE IF NOT EXISTS facts (\n"
    "    id TEXT PRIMARY KEY,\n"
    "    subject TEXT,\n"
    "    predicate TEXT,\n"
    "    obj TEXT,\n"
    "    user_id TEXT,\n"
    "    org_id TEXT,\n"
    "    created_at TIMESTAMP DEFAULT current_timestamp,\n"
    "    metadata JSON\n"
    ")"};
const StaticString kCreateUserIndex{"CREATE INDEX IF NOT EXISTS idx_user ON facts(user_id, org_id)"};
const StaticString kCreateOrgCreatedIndex{"CREATE INDEX IF NOT EXISTS idx_org_created ON facts(org_id, created_at)"};

}  // namespace

Ref ensure_schema(const EnsureSchemaArgs& args) {
    Ref conn = py::attr(args.self, names().conn);
    for (const StaticString* statement : {&kCreateTable, &kCreateUserIndex, &kCreateOrgCreatedIndex}) {
        execute(conn.get(), statement->get());
    }
    return py::none();
}

}  // namespace kg::ops
