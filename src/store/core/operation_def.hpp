// The table that describes one operation: its parameters with their kinds,
// annotations and defaults, its result rule, its documentation text and its
// body. The binder (binder.hpp) and the callable type (operation_type.hpp)
// are driven by this table alone.
//
// A body takes its arguments by name: a small aggregate of borrowed
// `PyObject*`, one field per bound parameter in table order, e.g.
//     struct UpsertFactArgs { PyObject* self; PyObject* subject; ... };
//     Ref upsert_fact(const UpsertFactArgs& args);
// and the table names it as `.body = named_body<kUpsertParams, ops::upsert_fact>`.
// The struct is checked against the table when it compiles: one field per
// parameter that binds a value (the ignored *args and **kwargs bind none).
#pragma once

#include "store/core/pyref.hpp"

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

namespace kg {

enum class ParamKind : std::uint8_t {
    PositionalOrKeyword,
    KeywordOnly,
    VarPositional,  // *args, accepted and ignored
    VarKeyword,     // **kwargs, accepted and ignored
};

// What the boundary demands of a value.
enum class ParamType : std::uint8_t {
    Any,   // self, cls
    Str,   // exactly str
    Dict,  // exactly dict
    Int,   // any number, normalised to an exact int
};

// What the result rule demands of the value a body returns.
enum class ResultRule : std::uint8_t { Unchecked, StrOrNone, IntOrNone };

struct Param {
    const char* name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    ParamType type = ParamType::Any;
    const char* annotation = nullptr;  // annotation text, e.g. "Dict[str, str]"
    std::optional<long> default_int;   // the default, when it is an int
    bool defaults_to_none = false;     // the default is None, and None passes the type rule
    const char* default_str = nullptr;  // the default, when it is a str

    constexpr bool has_default() const {
        return default_int.has_value() || defaults_to_none || default_str != nullptr;
    }
    constexpr bool binds_value() const {
        return kind == ParamKind::PositionalOrKeyword || kind == ParamKind::KeywordOnly;
    }
};

inline constexpr std::size_t kMaxParams = 8;

// The values bound to an operation's parameters, in table order. Ignored
// extras of *args/**kwargs are not kept.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const { return values_[i].get(); }
    Ref& slot(std::size_t i) { return values_[i]; }

private:
    std::array<Ref, kMaxParams> values_;
};

using OperationBody = Ref (*)(const BoundArgs&);

struct OperationDef {
    const char* name;
    bool is_static;  // wrapped in staticmethod: no instance is bound
    std::span<const Param> params;
    const char* return_annotation;  // nullptr: none
    ResultRule result;
    const char* doc;  // nullptr: None
    OperationBody body;
};

namespace detail {

// The number of parameters that bind a value; they must all come first.
template <std::size_t N>
constexpr std::size_t bound_count(const Param (&params)[N]) {
    std::size_t count = 0;
    while (count < N && params[count].binds_value()) ++count;
    for (std::size_t i = count; i < N; ++i) {
        if (params[i].binds_value()) return N + 1;  // a bound parameter after *args: not supported
    }
    return count;
}

template <typename Args, std::size_t... I>
constexpr bool aggregate_of(std::index_sequence<I...>) {
    return requires { Args{(static_cast<void>(I), static_cast<PyObject*>(nullptr))...}; };
}

// Whether `Args` is an aggregate of exactly `N` fields that take a PyObject*.
template <typename Args, std::size_t N>
inline constexpr bool has_fields = std::is_aggregate_v<Args> && aggregate_of<Args>(std::make_index_sequence<N>()) &&
                                   !aggregate_of<Args>(std::make_index_sequence<N + 1>());

template <typename Body>
struct body_traits;
template <typename Args>
struct body_traits<Ref (*)(const Args&)> {
    using args_type = Args;
};

}  // namespace detail

// The table's body for `Body`, which takes its arguments as a named struct.
template <const auto& Params, auto Body>
Ref named_body(const BoundArgs& bound) {
    using Args = typename detail::body_traits<decltype(Body)>::args_type;
    constexpr std::size_t count = detail::bound_count(Params);
    static_assert(std::size(Params) <= kMaxParams, "more parameters than BoundArgs holds");
    static_assert(count <= std::size(Params), "parameters that bind a value must come before *args and **kwargs");
    static_assert(detail::has_fields<Args, count>, "the argument struct needs one field per bound parameter");
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Body(Args{bound[I]...});
    }(std::make_index_sequence<count>());
}

}  // namespace kg
