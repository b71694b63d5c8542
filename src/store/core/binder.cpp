#include "store/core/binder.hpp"

namespace kg {
namespace {

constexpr const char* kSubclassNote =
    "Subclasses of built-in types are rejected by the strict argument typing: "
    "pass an instance of the exact built-in type.";

bool is_positional(const Param& p) { return p.kind == ParamKind::PositionalOrKeyword; }

// A number for the integer rule: a value that offers an integer, index or
// floating-point conversion (a complex number offers none of them).
bool offers_integer_conversion(PyObject* value) {
    const PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    return nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr || nb->nb_float != nullptr);
}

[[noreturn]] void raise_positional_count(const OperationDef& definition, Py_ssize_t min, Py_ssize_t max,
                                         bool unbounded, Py_ssize_t given) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (min == max && !unbounded) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", definition.name,
          more_or_less, expected, expected == 1 ? "" : "s", given);
}

// The keyword value passed under `name`, or nullptr.
PyObject* find_keyword(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames) {
    if (kwnames == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, i), name) == 0) return kwvalues[i];
    }
    return nullptr;
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t find_param(const OperationDef& definition, PyObject* const* param_names, PyObject* keyword) {
    const auto n = static_cast<Py_ssize_t>(definition.params.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (param_names[i] == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(param_names[i], keyword) == 0) return i;
    }
    return -1;
}

// Every keyword must name a parameter not already filled positionally,
// unless the operation takes **kwargs.
void check_keywords(const OperationDef& definition, PyObject* const* param_names, Py_ssize_t nargs,
                    PyObject* kwnames, bool takes_var_keyword) {
    if (kwnames == nullptr) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        const Py_ssize_t index = find_param(definition, param_names, keyword);
        const bool bindable = index >= 0 && (definition.params[index].kind == ParamKind::PositionalOrKeyword ||
                                             definition.params[index].kind == ParamKind::KeywordOnly);
        if (bindable && index < nargs && is_positional(definition.params[index])) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", definition.name, keyword);
        }
        if (!bindable && !takes_var_keyword) {
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", definition.name, keyword);
        }
    }
}

[[noreturn]] void raise_incorrect_type(const Param& param, const char* expected, PyObject* value,
                                       bool is_subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.name, expected, Py_TYPE(value)->tp_name);
    if (is_subclass) {
        // The note rides on the exception; if adding it fails, that error wins.
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* added = PyObject_CallMethod(exc, "add_note", "s", kSubclassNote);
        if (added == nullptr) {
            Py_DECREF(exc);
            throw_error_already_set();
        }
        Py_DECREF(added);
        PyErr_SetRaisedException(exc);
    }
    throw_error_already_set();
}

// An exact int stays; another number becomes int(value); anything else is
// rejected naming int.
void normalise_integer(const Param& param, Ref& value) {
    PyObject* v = value.get();
    if (PyLong_CheckExact(v)) return;
    if (!offers_integer_conversion(v)) raise_incorrect_type(param, "int", v, false);
    value = Ref::steal(PyNumber_Long(v));
}

void check_exact_type(const Param& param, PyObject* value) {
    switch (param.type) {
    case ParamType::Str:
        if (!PyUnicode_CheckExact(value)) raise_incorrect_type(param, "str", value, PyUnicode_Check(value));
        break;
    case ParamType::Dict:
        if (!PyDict_CheckExact(value)) raise_incorrect_type(param, "dict", value, PyDict_Check(value));
        break;
    case ParamType::Any:
    case ParamType::Int:
        break;
    }
}

// None passes the rules of a parameter whose default it is.
bool is_allowed_none(const Param& param, PyObject* value) { return param.defaults_to_none && value == Py_None; }

}  // namespace

Ref default_of(const Param& param) {
    if (param.defaults_to_none) return Ref::borrow(Py_None);
    if (param.default_str != nullptr) return Ref::steal(PyUnicode_InternFromString(param.default_str));
    if (!param.default_int) return Ref();
    return Ref::steal(PyLong_FromLong(*param.default_int));
}

BoundArgs bind_arguments(const OperationDef& definition, PyObject* const* param_names, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t npositional = 0, nrequired_positional = 0;
    bool takes_var_positional = false, takes_var_keyword = false;
    for (const Param& p : definition.params) {
        if (is_positional(p)) {
            ++npositional;
            if (!p.has_default()) ++nrequired_positional;
        }
        takes_var_positional |= p.kind == ParamKind::VarPositional;
        takes_var_keyword |= p.kind == ParamKind::VarKeyword;
    }
    PyObject* const* kwvalues = args + nargs;

    if (nargs > npositional && !takes_var_positional) {
        raise_positional_count(definition, nrequired_positional, npositional, false, nargs);
    }

    BoundArgs bound;
    // Positional-or-keyword parameters: from the call's positions, then by
    // keyword, then from the default. A missing required one reports how many
    // arguments were found before it.
    for (Py_ssize_t i = 0; i < npositional; ++i) {
        const Param& p = definition.params[i];
        PyObject* value = i < nargs ? args[i] : find_keyword(param_names[i], kwvalues, kwnames);
        bound.slot(i) = value != nullptr ? Ref::borrow(value) : default_of(p);
        if (!bound[i]) {
            raise_positional_count(definition, nrequired_positional, npositional, takes_var_positional, i);
        }
    }

    check_keywords(definition, param_names, nargs, kwnames, takes_var_keyword);

    for (std::size_t i = npositional; i < definition.params.size(); ++i) {
        const Param& p = definition.params[i];
        if (p.kind != ParamKind::KeywordOnly) continue;
        PyObject* value = find_keyword(param_names[i], kwvalues, kwnames);
        bound.slot(i) = value != nullptr ? Ref::borrow(value) : default_of(p);
        if (!bound[i]) {
            raise(PyExc_TypeError, "%s() needs keyword-only argument %U", definition.name, param_names[i]);
        }
    }

    // Integers are normalised before any parameter is type-tested.
    for (std::size_t i = 0; i < definition.params.size(); ++i) {
        const Param& p = definition.params[i];
        if (p.type == ParamType::Int && !is_allowed_none(p, bound[i])) normalise_integer(p, bound.slot(i));
    }
    for (std::size_t i = 0; i < definition.params.size(); ++i) {
        const Param& p = definition.params[i];
        if (bound[i] != nullptr && !is_allowed_none(p, bound[i])) check_exact_type(p, bound[i]);
    }
    return bound;
}

Ref normalise_integer_argument(const char* param_name, PyObject* value) {
    const Param param{param_name, ParamKind::PositionalOrKeyword, ParamType::Int, "int"};
    Ref normalised = Ref::borrow(value);
    normalise_integer(param, normalised);
    return normalised;
}

void check_argument_type(const Param& param, PyObject* value) { check_exact_type(param, value); }

Ref check_result(const OperationDef& definition, Ref result) {
    PyObject* r = result.get();
    switch (definition.result) {
    case ResultRule::Unchecked:
        return result;
    case ResultRule::StrOrNone:
        if (r == Py_None || PyUnicode_CheckExact(r)) return result;
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(r)->tp_name);
    case ResultRule::IntOrNone:
        if (r == Py_None || PyLong_CheckExact(r)) return result;
        if (offers_integer_conversion(r)) return Ref::steal(PyNumber_Long(r));
        raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r)->tp_name);
    }
    return result;
}

}  // namespace kg
