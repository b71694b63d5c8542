// Retention by age: deletes every fact written before now - days, across all
// users and organisations. The clock is the module's `datetime`, read at the
// moment of the call.
#include "store/core/connection.hpp"
#include "store/core/log.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/retention/expiry_cutoff.hpp"

namespace kg::ops {
namespace {

const StaticString kPurge{"DELETE FROM facts WHERE created_at < ?"};
const StaticString kInfoPurge{"Purging facts older than %d days"};

}  // namespace

Ref purge_expired(const PurgeExpiredArgs& args) {
    auto [self, days] = args;

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoPurge, {days});

    Ref params = py::list({expiry_cutoff(days).get()});
    Ref conn = py::attr(self, names().conn);
    execute(conn.get(), kPurge.get(), params.get());
    return py::none();
}

}  // namespace kg::ops
