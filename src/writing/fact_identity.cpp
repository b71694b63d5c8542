// The fact identifier: SHA-256 of triple + user + organisation in strict
// UTF-8, with nothing between the pieces, as 64 lower-case hex characters.
// The digest comes from the module's bound `hashlib`.
#include "core/module_state.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"

#include <cstring>
#include <string_view>

namespace kg::ops {
namespace {

// The UTF-8 bytes of `text`; `storage` keeps a converted copy alive when the
// text is not ASCII. A lone surrogate raises UnicodeEncodeError.
std::string_view utf8_of(PyObject* text, Ref& storage) {
    if (PyUnicode_IS_ASCII(text)) {
        return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
    }
    storage = Ref::steal(PyUnicode_AsUTF8String(text));
    return {PyBytes_AS_STRING(storage.get()), static_cast<size_t>(PyBytes_GET_SIZE(storage.get()))};
}

}  // namespace

Ref det_id(const BoundArgs& args) {
    Ref storage[3];
    std::string_view pieces[3];
    size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        pieces[i] = utf8_of(args[i], storage[i]);
        total += pieces[i].size();
    }
    Ref message = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    char* out = PyBytes_AS_STRING(message.get());
    for (const std::string_view piece : pieces) {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    Ref hashlib = global(names().hashlib);
    Ref digest = py::call_method(hashlib.get(), names().sha256, {message.get()});
    return py::call_method(digest.get(), names().hexdigest, {});
}

}  // namespace kg::ops
