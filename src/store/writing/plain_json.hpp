// Compact JSON of plain values, written here rather than by the standard
// encoder. A plain value is built only of the exact builtin types the
// standard encoder turns into text without running any other code: dict
// with str keys, list, tuple, str, int, float, bool and None. For those the
// text is, byte for byte, what the standard encoder writes, at a fraction of
// its cost per item; anything else is left to the standard encoder, which
// also raises the errors.
#pragma once

#include "store/core/pyref.hpp"

#include <string>

namespace kg {

class PlainJsonWriter {
public:
    // The Compact JSON of `value` when it is plain, or a null Ref (no error
    // set) when it is not.
    Ref write(PyObject* value);

private:
    bool append(PyObject* value, int depth);
    void append_text(PyObject* text);

    std::string buffer_;  // reused from value to value
};

}  // namespace kg
