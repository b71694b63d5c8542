// The table that describes one operation of the store class: its parameters
// with their kinds, annotations and defaults, its result rule, its
// documentation text and its body. The binder (binder.hpp) and the callable
// type (operation_type.hpp) are driven by this table alone.
#pragma once

#include "core/pyref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

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
    std::optional<long> default_int;   // every default of the store is an int
};

inline constexpr std::size_t kMaxParams = 6;

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

}  // namespace kg
