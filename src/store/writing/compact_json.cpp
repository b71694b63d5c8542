#include "store/writing/compact_json.hpp"

#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

#include <cstdint>

namespace kg {
namespace {

// Extra bytes over one per character. Written without branches so the
// compiler can vectorise the loops below.
template <typename Char>
inline std::uint32_t extra_bytes(Char c) {
    const std::uint32_t u = c;
    const std::uint32_t control_or_wide = (u < 0x20u) | (u >= 0x7fu);      // \uXXXX: 6 bytes
    const std::uint32_t quote_or_backslash = (u == 0x22u) | (u == 0x5cu);  // \" \\: 2 bytes
    const std::uint32_t short_escape = (u == 0x08u) | (u == 0x09u) | (u == 0x0au) | (u == 0x0cu) | (u == 0x0du);
    const std::uint32_t astral = u > 0xffffu;                               // two \uXXXX: 12 bytes
    return control_or_wide * 5 + quote_or_backslash - short_escape * 4 + astral * 6;
}

template <typename Char>
std::size_t count(const Char* data, Py_ssize_t begin, Py_ssize_t end) {
    // Blocks small enough for a 32-bit sum (at most 11 extra bytes a
    // character), which vectorises far better than a 64-bit one.
    constexpr Py_ssize_t kBlock = 1 << 16;
    std::size_t total = static_cast<std::size_t>(end - begin);
    for (Py_ssize_t block = begin; block < end; block += kBlock) {
        const Py_ssize_t stop = end - block < kBlock ? end : block + kBlock;
        std::uint32_t extra = 0;
        for (Py_ssize_t i = block; i < stop; ++i) extra += static_cast<std::uint32_t>(extra_bytes(data[i]));
        total += extra;
    }
    return total;
}

}  // namespace

Ref compact_json(PyObject* value) {
    static const StaticTuple separators{",", ":"};
    static const StaticTuple kwnames{"separators"};
    Ref json = global(names().json);
    return py::call_method_kw(json.get(), names().dumps, {value, separators.get()}, kwnames.get());
}

Ref checked_json_text(Ref text) {
    if (!PyUnicode_Check(text.get())) {
        raise(PyExc_TypeError, "json.dumps returned %.200s, not str", Py_TYPE(text.get())->tp_name);
    }
    return text;
}

namespace {

bool attribute_is(PyObject* object, const char* name, PyObject* expected) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttrString(object, name, &value)) == 0) return false;
    Ref owned = Ref::steal(value);
    return owned.get() == expected;
}

}  // namespace

bool json_is_standard() {
    Ref json = global(names().json);
    return attribute_is(json.get(), "dumps", state().standard_dumps) &&
           attribute_is(json.get(), "JSONEncoder", state().standard_encoder_class);
}

CompactJsonEncoder::CompactJsonEncoder() : standard_(json_is_standard()) {
    if (!standard_) return;
    // What json.dumps does with separators and every other option at its
    // default: JSONEncoder(separators=...).encode(value), whose one-shot path
    // runs c_make_encoder(markers, default, encode_basestring_ascii, indent,
    // key_separator, item_separator, sort_keys, skipkeys, allow_nan).
    Ref encoder_module = Ref::steal(PyImport_ImportModule("json.encoder"));
    Ref encoder_type = Ref::borrow(state().standard_encoder_class);
    Ref make_encoder = py::attr(encoder_module.get(), "c_make_encoder");
    Ref escape = py::attr(encoder_module.get(), "encode_basestring_ascii");
    if (make_encoder.get() == Py_None || escape.get() == Py_None) return;

    Ref separators = Ref::steal(Py_BuildValue("(ss)", ",", ":"));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names().separators));
    Ref options = py::call_kw(encoder_type.get(), {separators.get()}, kwnames.get());
    Ref markers = Ref::steal(PyDict_New());
    Ref default_ = py::attr(options.get(), "default");
    Ref indent = py::attr(options.get(), "indent");
    Ref key_separator = py::attr(options.get(), "key_separator");
    Ref item_separator = py::attr(options.get(), "item_separator");
    Ref sort_keys = py::attr(options.get(), "sort_keys");
    Ref skipkeys = py::attr(options.get(), "skipkeys");
    Ref allow_nan = py::attr(options.get(), "allow_nan");
    c_encoder_ = py::call(make_encoder.get(), {markers.get(), default_.get(), escape.get(), indent.get(),
                                               key_separator.get(), item_separator.get(), sort_keys.get(),
                                               skipkeys.get(), allow_nan.get()});
}

Ref CompactJsonEncoder::encode(PyObject* value) {
    if (!c_encoder_) return checked_json_text(compact_json(value));
    if (Ref text = plain_.write(value)) return text;
    Ref level = py::integer(0);
    Ref chunks = py::call(c_encoder_.get(), {value, level.get()});
    if (!PyTuple_CheckExact(chunks.get()) || PyTuple_GET_SIZE(chunks.get()) != 1) {
        return Ref::steal(PyUnicode_Join(py::str("").get(), chunks.get()));
    }
    return Ref::borrow(PyTuple_GET_ITEM(chunks.get(), 0));
}

Py_ssize_t escaped_length(PyObject* text, Py_ssize_t begin, Py_ssize_t end) {
    const void* data = PyUnicode_DATA(text);
    std::size_t total = 0;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: total = count(static_cast<const Py_UCS1*>(data), begin, end); break;
    case PyUnicode_2BYTE_KIND: total = count(static_cast<const Py_UCS2*>(data), begin, end); break;
    default: total = count(static_cast<const Py_UCS4*>(data), begin, end); break;
    }
    return static_cast<Py_ssize_t>(total);
}

}  // namespace kg
