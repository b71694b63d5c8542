// Retention by age: deletes every fact written before now - days, across all
// users and organisations. The clock is the module's `datetime`, read at the
// moment of the call.
#include "core/connection.hpp"
#include "core/log.hpp"
#include "core/module_state.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"

namespace kg::ops {
namespace {

const StaticString kPurge{"DELETE FROM facts WHERE created_at < ?"};
const StaticString kInfoPurge{"Purging facts older than %d days"};

// datetime.now(timezone.utc) - timedelta(days=days): zone-aware, in UTC.
Ref cutoff_for(PyObject* days) {
    const Names& n = names();
    Ref timezone = global(n.timezone);
    Ref utc = py::attr(timezone.get(), n.utc);
    Ref now = py::call_method(global(n.datetime).get(), n.now, {utc.get()});
    static const StaticTuple kwnames{"days"};
    Ref interval = py::call_kw(global(n.timedelta).get(), {days}, kwnames.get());
    return Ref::steal(PyNumber_Subtract(now.get(), interval.get()));
}

}  // namespace

Ref purge_expired(const PurgeExpiredArgs& args) {
    auto [self, days] = args;

    Logger logger = Logger::current();
    if (logger.enabled(LogLevel::Info)) logger.write(LogLevel::Info, kInfoPurge, {days});

    Ref params = py::list({cutoff_for(days).get()});
    Ref conn = py::attr(self, names().conn);
    execute(conn.get(), kPurge.get(), params.get());
    return py::none();
}

}  // namespace kg::ops
