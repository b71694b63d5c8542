// Small call and lookup helpers over the C API. Every result is a `Ref`
// (see pyref.hpp); every failure throws `PyErrorAlreadySet`.
#pragma once

#include "store/core/module_state.hpp"
#include "store/core/pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>

namespace kg::py {

inline Ref attr(PyObject* object, PyObject* name) { return Ref::steal(PyObject_GetAttr(object, name)); }
inline Ref attr(PyObject* object, const char* name) { return Ref::steal(PyObject_GetAttrString(object, name)); }

inline void set_attr(PyObject* object, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(object, name, value));
}

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(callable, std::data(args), args.size(), nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values))); `args` holds the
// positional values followed by the keyword values, as vectorcall expects.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    const size_t npositional = args.size() - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, std::data(args), npositional, kwnames));
}

// object.name(*args)
inline Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[8];
    stack[0] = object;
    size_t n = 1;
    for (PyObject* a : args) {
        if (n == std::size(stack)) raise(PyExc_SystemError, "too many arguments for call_method");
        stack[n++] = a;
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

// [*items]
inline Ref list(std::initializer_list<PyObject*> items) {
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(result.get(), i++, Py_NewRef(item));
    return result;
}

// object.name(*positional, **keywords): `args` holds the positional values
// followed by the keyword values named by `kwnames`.
inline Ref call_method_kw(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args,
                          PyObject* kwnames) {
    PyObject* stack[8];
    if (args.size() + 1 > std::size(stack)) raise(PyExc_SystemError, "too many arguments for call_method_kw");
    stack[0] = object;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    const size_t npositional = n - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_VectorcallMethod(name, stack, npositional, kwnames));
}

// list(items): a shallow copy of a list.
inline Ref copy_list(PyObject* list) { return Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX)); }

inline Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
inline Ref integer(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

inline bool truthy(PyObject* object) { return check(PyObject_IsTrue(object)) != 0; }

// The first `max_chars` code points of `text` (all of it when shorter).
inline Ref head(PyObject* text, Py_ssize_t max_chars) {
    if (PyUnicode_GET_LENGTH(text) <= max_chars) return Ref::borrow(text);
    return Ref::steal(PyUnicode_Substring(text, 0, max_chars));
}

}  // namespace kg::py

namespace kg {

// A Python str made once from a literal (an SQL text, a log format) and kept
// for as long as the process state's generation lasts (module_state.hpp).
// Only touched with the GIL held.
class StaticString {
public:
    constexpr explicit StaticString(const char* text) : text_(text) {}
    PyObject* get() const {
        const std::uint64_t current = state().generation;
        if (generation_ != current) {
            object_ = Ref::steal(PyUnicode_InternFromString(text_)).release();
            generation_ = current;
        }
        return object_;
    }
    const char* c_str() const { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
    mutable std::uint64_t generation_ = 0;
};

// A tuple of interned strs made once from literals (the keyword names of a
// call, a fixed argument), kept like StaticString.
template <std::size_t N>
class StaticTuple {
public:
    template <typename... Texts>
    constexpr explicit StaticTuple(Texts... texts) : texts_{texts...} {}
    PyObject* get() const {
        const std::uint64_t current = state().generation;
        if (generation_ != current) {
            Ref tuple = Ref::steal(PyTuple_New(N));
            for (std::size_t i = 0; i < N; ++i) {
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::steal(PyUnicode_InternFromString(texts_[i])).release());
            }
            object_ = tuple.release();
            generation_ = current;
        }
        return object_;
    }

private:
    const char* texts_[N];
    mutable PyObject* object_ = nullptr;
    mutable std::uint64_t generation_ = 0;
};

template <typename... Texts>
StaticTuple(Texts...) -> StaticTuple<sizeof...(Texts)>;

}  // namespace kg
