// Reference handles and the one error mechanism of the module.
//
// Ownership rules
// ---------------
// * `Ref` owns exactly one strong reference (or none). It is move-only; its
//   destructor drops the reference. Build one with
//     - `Ref::steal(p)`: take over a new reference returned by the C API. A
//       NULL `p` means the call failed with a Python error set, and `steal`
//       throws `PyErrorAlreadySet`. Use this for every API result.
//     - `Ref::borrow(p)`: take a new strong reference to an object borrowed
//       from somewhere else (an argument, a dict entry). `p` must not be NULL.
//   `release()` hands the reference to the caller (the trampoline returns it
//   to Python); `get()` lends it without changing ownership.
// * A plain `PyObject*` is always borrowed. It is valid only while something
//   else keeps the object alive and never outlives the call that lent it.
//
// Errors
// ------
// A C++ exception of type `PyErrorAlreadySet` means "a Python exception is
// set; unwind". Helpers throw it right after the C API reported failure, and
// the entry points of the module (the operation trampoline, module exec)
// catch it and return NULL/-1. No other code catches it except to add
// context, so a pending Python error is never overwritten or lost.
//
// Handled errors
// --------------
// Only the `Exception` family is ever handled: logged, replaced, turned into
// a fallback or dropped. `KeyboardInterrupt`, `SystemExit`, `GeneratorExit`
// and a forced unwind (below) always pass through as they came; code that
// must clean up on its way (a rollback) sets them aside and puts them back.
// The database client reports Ctrl-C inside a statement as an `Exception`
// (a RuntimeError "Query interrupted"): no statement that failed is retried
// unless its error is the one refusal the retry is for. A note added to an
// error says only what holds when it is added ("nothing of this call was
// written" only before anything was). handled_errors.hpp has the helpers.
//
// Threads ended at interpreter exit
// ---------------------------------
// A daemon thread that wants the GIL back after finalisation has begun is
// ended by the runtime with a forced unwind (`abi::__forced_unwind`), which
// runs the destructors of every C++ frame on its way. That thread holds no
// GIL, so `Ref` then leaks its reference instead of dropping it, and nothing
// on that path may be `noexcept`: an unwind that meets a `noexcept` frame
// ends the process with `std::terminate`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kg {

struct PyErrorAlreadySet {};

// Whether this thread may touch reference counts: it has an attached thread
// state, that is, it holds the GIL.
inline bool holds_gil() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// Throws after a failed C API call; the error is already set.
[[noreturn]] inline void throw_error_already_set() { throw PyErrorAlreadySet{}; }

// Sets a Python exception and unwinds.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw_error_already_set();
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    // Dropping a reference may run a finalizer written in Python, and with it
    // a forced unwind (see above): neither of these two is `noexcept`.
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) {
        if (p_ != nullptr && holds_gil()) Py_DECREF(p_);
    }

    static Ref steal(PyObject* new_reference) {
        if (new_reference == nullptr) throw_error_already_set();
        return Ref(new_reference);
    }
    // A new reference that may legitimately be NULL without an error set.
    static Ref steal_nullable(PyObject* new_reference_or_null) noexcept { return Ref(new_reference_or_null); }
    static Ref borrow(PyObject* borrowed) {
        Py_INCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Checks the int result of C API calls that report failure as -1.
inline int check(int status) {
    if (status < 0) throw_error_already_set();
    return status;
}

}  // namespace kg
