// The one place where C++ exceptions turn into Python's NULL/-1 returns.
// Every function that Python calls into runs its work through these.
//
// The one exception that passes is a forced unwind: the runtime ending this
// thread at interpreter exit (see pyref.hpp). It must leave through the
// caller's frames as it came, so it is rethrown, and the entry points are
// not `noexcept`, which would turn it into `std::terminate`. A forced unwind
// carries no exception object, so its handler binds a null reference; the
// undefined-behaviour sanitizer is off here for that reason alone.
#pragma once

#include "store/core/pyref.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>

namespace kg {

template <typename Work>
__attribute__((no_sanitize_undefined)) PyObject* object_entry_point(Work&& work) {
    try {
        return work().release();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const PyErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

template <typename Work>
int status_entry_point(Work&& work) {
    PyObject* result = object_entry_point([&] {
        work();
        return Ref::borrow(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace kg
