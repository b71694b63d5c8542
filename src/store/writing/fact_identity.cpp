// The digest comes from the module's bound `hashlib`.
#include "store/writing/fact_identity.hpp"

#include "store/core/module_state.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"

#include <cstring>
#include <string_view>

namespace kg {
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

Ref fact_digest(PyObject* sha256, PyObject* triple, PyObject* user_id, PyObject* org_id) {
    PyObject* const texts[] = {triple, user_id, org_id};
    Ref storage[3];
    std::string_view pieces[3];
    size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        pieces[i] = utf8_of(texts[i], storage[i]);
        total += pieces[i].size();
    }
    Ref message = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    char* out = PyBytes_AS_STRING(message.get());
    for (const std::string_view piece : pieces) {
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    Ref digest = py::call(sha256, {message.get()});
    return py::call_method(digest.get(), names().hexdigest, {});
}

namespace ops {

Ref det_id(const DetIdArgs& args) {
    Ref hashlib = global(names().hashlib);
    Ref sha256 = py::attr(hashlib.get(), names().sha256);
    return fact_digest(sha256.get(), args.triple, args.user_id, args.org_id);
}

}  // namespace ops
}  // namespace kg
