// Process-wide state of the store, shared by every module that links its
// core. One instance, created on first use and never destroyed (as greenlet
// keeps its own): destruction at exit would run after the runtime is gone,
// while daemon threads may still wait on its connection lock.
//
// The Python objects it refers to belong to the runtime that loaded the
// module. A load that fails drops them, so that the next attempt (maybe in
// another interpreter) starts clean. When that runtime exits, the state is
// marked finished: an embedding host that initialises Python again gets its
// load refused instead of objects of the finished runtime.
#pragma once

#include "store/core/conn_lock.hpp"
#include "store/core/names.hpp"
#include "store/outbox/document_traffic.hpp"

#include <atomic>
#include <cstdint>

namespace kg {

struct ModuleState {
    Names names;
    PyObject* globals = nullptr;            // the module namespace (strong reference)
    PyObject* store_class = nullptr;        // DuckSqliteGraph (strong reference)
    PyTypeObject* operation_type = nullptr;  // the operations' callable type (strong reference)
    PyObject* standard_log_methods[4] = {};  // logging.Logger's debug, info, warning, error (strong)
    // The standard library's json.dumps and the encoder class it builds, as
    // bound at load (strong): Compact JSON is known only while both are in place.
    PyObject* standard_dumps = nullptr;
    PyObject* standard_encoder_class = nullptr;
    ConnLock conn_lock;
    outbox::DocumentTraffic traffic;  // read and changed with the GIL held

    // Load bookkeeping (module.cpp). The interpreter whose load is under way
    // or done, -1 for none; atomic because isolated interpreters import in
    // parallel.
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* initialised_module = nullptr;  // strong reference
    std::atomic<bool> runtime_finished{false};

    // Objects cached on first use (StaticString, StaticTuple) are valid for
    // the generation that made them; a failed load starts a new one.
    std::uint64_t generation = 1;

    // After a failed load, with the GIL of the interpreter that tried it.
    void forget_objects();
};

ModuleState& state();
inline const Names& names() { return state().names; }

// A module-level name, read from the namespace at the moment of use so that
// a host or a test that rebinds it is followed. Missing: NameError.
Ref global(PyObject* name);

}  // namespace kg
