#include "store/writing/plain_json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kg {
namespace {

// Deeper values go to the standard encoder, which also tells a cycle from
// mere depth.
constexpr int kMaxDepth = 64;

constexpr char kHexDigits[] = "0123456789abcdef";

template <typename Char>
constexpr bool written_as_itself(Char c) {
    return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\';
}

// The same test for one-byte characters, as a table: most text is scanned
// here, and a load is cheaper than four comparisons.
struct OneByteTable {
    bool plain[256];
    constexpr OneByteTable() : plain() {
        for (int c = 0; c < 256; ++c) plain[c] = written_as_itself(c);
    }
};
constexpr OneByteTable kOneByte;

inline bool written_as_itself(Py_UCS1 c) { return kOneByte.plain[c]; }

void append_u_escape(std::string& out, Py_UCS4 unit) {
    const char escape[6] = {'\\', 'u', kHexDigits[(unit >> 12) & 0xf], kHexDigits[(unit >> 8) & 0xf],
                            kHexDigits[(unit >> 4) & 0xf], kHexDigits[unit & 0xf]};
    out.append(escape, sizeof escape);
}

void append_escape(std::string& out, Py_UCS4 c) {
    switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\f': out.append("\\f"); return;
    case '\r': out.append("\\r"); return;
    default: break;
    }
    if (c > 0xffff) {
        // Above the Basic Multilingual Plane: its UTF-16 surrogate pair.
        const Py_UCS4 offset = c - 0x10000;
        append_u_escape(out, 0xd800 | (offset >> 10));
        append_u_escape(out, 0xdc00 | (offset & 0x3ff));
        return;
    }
    append_u_escape(out, c);
}

template <typename Char>
void append_escaped(std::string& out, const Char* data, Py_ssize_t length) {
    Py_ssize_t i = 0;
    while (i < length) {
        const Py_ssize_t run = i;
        while (i < length && written_as_itself(data[i])) ++i;
        if constexpr (sizeof(Char) == 1) {
            out.append(reinterpret_cast<const char*>(data) + run, static_cast<std::size_t>(i - run));
        } else {
            for (Py_ssize_t j = run; j < i; ++j) out.push_back(static_cast<char>(data[j]));
        }
        if (i < length) append_escape(out, data[i++]);
    }
}

}  // namespace

Ref PlainJsonWriter::write(PyObject* value) {
    buffer_.clear();
    if (!append(value, 0)) return Ref();
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(buffer_.size()), 127));
    std::memcpy(PyUnicode_DATA(text.get()), buffer_.data(), buffer_.size());
    return text;
}

void PlainJsonWriter::append_text(PyObject* text) {
    buffer_.push_back('"');
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: append_escaped(buffer_, static_cast<const Py_UCS1*>(data), length); break;
    case PyUnicode_2BYTE_KIND: append_escaped(buffer_, static_cast<const Py_UCS2*>(data), length); break;
    default: append_escaped(buffer_, static_cast<const Py_UCS4*>(data), length); break;
    }
    buffer_.push_back('"');
}

// Nothing below runs Python code, so the containers cannot change while
// they are walked.
bool PlainJsonWriter::append(PyObject* value, int depth) {
    if (PyUnicode_CheckExact(value)) {
        append_text(value);
        return true;
    }
    if (value == Py_None) {
        buffer_.append("null");
        return true;
    }
    if (value == Py_True || value == Py_False) {
        buffer_.append(value == Py_True ? "true" : "false");
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        // Larger integers are left to the standard encoder, which also
        // knows the host's limit on the digits of a conversion.
        if (overflow != 0) return false;
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, number);
        buffer_.append(digits, written.ptr);
        return true;
    }
    if (PyFloat_CheckExact(value)) {
        const double number = PyFloat_AS_DOUBLE(value);
        if (std::isnan(number)) {
            buffer_.append("NaN");
        } else if (std::isinf(number)) {
            buffer_.append(number > 0 ? "Infinity" : "-Infinity");
        } else {
            // What float.__repr__ writes.
            char* repr = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (repr == nullptr) throw_error_already_set();
            buffer_.append(repr);
            PyMem_Free(repr);
        }
        return true;
    }
    if (depth >= kMaxDepth) return false;
    if (PyDict_CheckExact(value)) {
        buffer_.push_back('{');
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        bool first = true;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!first) buffer_.push_back(',');
            first = false;
            append_text(key);
            buffer_.push_back(':');
            if (!append(item, depth + 1)) return false;
        }
        buffer_.push_back('}');
        return true;
    }
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        buffer_.push_back('[');
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0) buffer_.push_back(',');
            if (!append(PySequence_Fast_GET_ITEM(value, i), depth + 1)) return false;
        }
        buffer_.push_back(']');
        return true;
    }
    return false;
}

}  // namespace kg
