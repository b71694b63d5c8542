#include "store/retention/expiry_cutoff.hpp"

#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

namespace kg {

Ref expiry_cutoff(PyObject* days) {
    const Names& n = names();
    Ref timezone = global(n.timezone);
    Ref utc = py::attr(timezone.get(), n.utc);
    Ref now = py::call_method(global(n.datetime).get(), n.now, {utc.get()});
    static const StaticTuple kwnames{"days"};
    Ref interval = py::call_kw(global(n.timedelta).get(), {days}, kwnames.get());
    return Ref::steal(PyNumber_Subtract(now.get(), interval.get()));
}

}  // namespace kg
