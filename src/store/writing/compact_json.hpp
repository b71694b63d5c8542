// Compact JSON: the host serialiser's text of a value with the separators
// "," and ":" and every other option at its default. The serialiser is the
// module's bound `json`, looked up at the moment of use; it defines the
// bytes.
#pragma once

#include "store/core/pyref.hpp"
#include "store/writing/plain_json.hpp"

namespace kg {

// json.dumps(value, separators=(",", ":")), whatever it returns.
Ref compact_json(PyObject* value);

// The serialiser's result, refused with TypeError unless it is a str, so
// that nothing else is ever stored as a metadata text or measured.
Ref checked_json_text(Ref text);

// The one decision whether the module's `json` is still the standard
// library's own: its `dumps` and the `JSONEncoder` class that `dumps` builds
// are those bound at load. Only then is Compact JSON known to be pure ASCII
// text whose length in characters is its size in bytes, so that the clamp
// may account sizes and the batch may write plain values itself. Made once
// per operation call.
bool json_is_standard();

// Compact JSON for many values in a row. While the module's `json` is the
// standard library's own (json_is_standard), its text is fixed by the
// standard encoder's rules: a plain value is then written directly
// (plain_json.hpp), and any other runs the standard C encoder, built once
// with the arguments `dumps` gives it (`dumps` itself builds one per value).
// Otherwise it calls the module's `json.dumps` for every value. Every text
// it returns is a str (checked_json_text).
class CompactJsonEncoder {
public:
    CompactJsonEncoder();
    Ref encode(PyObject* value);
    bool is_standard() const { return standard_; }

private:
    bool standard_;
    Ref c_encoder_;  // set when the standard C encoder can be run directly
    PlainJsonWriter plain_;
};

// The number of bytes that the serialiser writes between the quotes of
// `text`: printable ASCII 1, quote and backslash 2, \b \t \n \f \r 2, any
// other character up to U+FFFF 6 (\uXXXX), above U+FFFF 12 (a surrogate
// pair). Counted over the code points [begin, end) without building anything.
Py_ssize_t escaped_length(PyObject* text, Py_ssize_t begin, Py_ssize_t end);

}  // namespace kg
