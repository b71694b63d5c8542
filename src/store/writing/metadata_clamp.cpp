// With the standard library's serialiser, whose output is pure ASCII, the
// result equals that of re-serialising the whole copy on every pass without
// its cost. The copy is serialised once, with every long text value (the
// only values a pass can change) standing in as "", and each long text is
// accounted on its own. A halved value is always a prefix of the original
// plus the cut mark (a later cut falls before the earlier mark), so it is
// kept as a length until the end, when the new texts are built once. Each
// character serialises to at least one byte, so while the character counts
// alone exceed the budget a pass needs no exact size; the escaped length of
// a text is counted only when the decision depends on it.
//
// Any other serialiser bound as the module's `json` defines sizes its own
// way (it may keep non-ASCII text, or return something that is not text), so
// with it every pass serialises the copy and measures the UTF-8 bytes.
#include "store/writing/metadata_clamp.hpp"

#include "store/core/binder.hpp"
#include "store/core/module_state.hpp"
#include "store/core/operation_type.hpp"
#include "store/core/operations.hpp"
#include "store/core/py.hpp"
#include "store/core/store_class.hpp"
#include "store/writing/compact_json.hpp"

#include <climits>
#include <vector>

namespace kg {
namespace {

constexpr Py_ssize_t kHalvingFloor = 64;      // longer values are halved
constexpr Py_ssize_t kCutMarkEscaped = 6;     // U+2026 serialises as \u2026
constexpr const char* kCutMark = "\u2026";

// A text value longer than the floor, as the passes see it: the original
// text cut to `kept` characters, plus the cut mark once it has been cut.
// Key and text are held strongly: the serialiser may run arbitrary code.
struct LongText {
    Ref key;
    Ref original;
    Py_ssize_t kept;  // characters kept of the original
    bool cut = false;
    Py_ssize_t kept_escaped = -1;  // escaped bytes of original[:kept]; -1 until counted

    Py_ssize_t length() const { return kept + (cut ? 1 : 0); }
    Py_ssize_t mark_bytes() const { return cut ? kCutMarkEscaped : 0; }
    // Serialised bytes between the quotes: a bound until counted.
    Py_ssize_t at_least() const { return (kept_escaped < 0 ? kept : kept_escaped) + mark_bytes(); }
    Py_ssize_t exactly() {
        if (kept_escaped < 0) kept_escaped = escaped_length(original.get(), 0, kept);
        return kept_escaped + mark_bytes();
    }
    void halve() {
        kept = length() / 2;
        cut = true;
        kept_escaped = -1;
    }
};

long long budget_of(PyObject* max_bytes) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(max_bytes, &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (value == -1 && PyErr_Occurred()) throw_error_already_set();
    return value;
}

std::vector<LongText> long_texts_of(PyObject* copy) {
    std::vector<LongText> texts;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &pos, &key, &value)) {
        if (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) > kHalvingFloor) {
            texts.push_back({Ref::borrow(key), Ref::borrow(value), PyUnicode_GET_LENGTH(value)});
        }
    }
    return texts;
}

// Size of the Compact JSON of `copy` without the characters of its long
// texts, from one serialisation in which they stand in as "". Errors of the
// serialiser (unsupported types, cycles) surface here as for the whole copy.
Py_ssize_t size_without_long_texts(PyObject* copy, const std::vector<LongText>& texts) {
    Ref probe = Ref::steal(PyDict_Copy(copy));
    Ref empty = py::str("");
    for (const LongText& t : texts) check(PyDict_SetItem(probe.get(), t.key.get(), empty.get()));
    return PyUnicode_GET_LENGTH(checked_json_text(compact_json(probe.get())).get());
}

// Whether the copy, as the texts now stand, is larger than the budget.
bool exceeds(long long budget, Py_ssize_t fixed, std::vector<LongText>& texts) {
    long long size = fixed;
    for (const LongText& t : texts) size += t.at_least();
    if (size > budget) return true;
    size = fixed;
    for (LongText& t : texts) size += t.exactly();
    return size > budget;
}

// The first longest text, or nullptr when none is longer than the floor.
LongText* longest(std::vector<LongText>& texts) {
    LongText* best = nullptr;
    for (LongText& t : texts) {
        if (t.length() > (best ? best->length() : kHalvingFloor)) best = &t;
    }
    return best;
}

Ref with_cut_mark(PyObject* text, Py_ssize_t kept) {
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, kept));
    return Ref::steal(PyUnicode_Concat(head.get(), py::str(kCutMark).get()));
}

void store_cut_texts(PyObject* copy, const std::vector<LongText>& texts) {
    for (const LongText& t : texts) {
        if (t.cut) check(PyDict_SetItem(copy, t.key.get(), with_cut_mark(t.original.get(), t.kept).get()));
    }
}

void drop_bulky_keys(PyObject* copy) {
    for (PyObject* drop_key : {names().code_content, names().docstring}) {
        if (check(PyDict_Contains(copy, drop_key))) check(PyDict_DelItem(copy, drop_key));
    }
}

Ref clamp_accounted(Ref copy, long long budget, Py_ssize_t json_length) {
    if (json_length >= 0 && json_length <= budget) return copy;
    std::vector<LongText> texts = long_texts_of(copy.get());
    const Py_ssize_t fixed = size_without_long_texts(copy.get(), texts);
    while (exceeds(budget, fixed, texts)) {
        LongText* victim = longest(texts);
        if (victim == nullptr) {
            store_cut_texts(copy.get(), texts);
            drop_bulky_keys(copy.get());
            return copy;
        }
        victim->halve();
    }
    store_cut_texts(copy.get(), texts);
    return copy;
}

// len(json.dumps(copy, separators=(",", ":")).encode("utf-8")) <= max_bytes
bool fits_serialised(PyObject* copy, PyObject* max_bytes) {
    Ref text = checked_json_text(compact_json(copy));
    Ref blob = py::call_method(text.get(), py::str("encode").get(), {py::str("utf-8").get()});
    const Py_ssize_t size = PyObject_Length(blob.get());
    if (size < 0) throw_error_already_set();
    Ref size_object = py::integer(size);
    return check(PyObject_RichCompareBool(size_object.get(), max_bytes, Py_LE)) != 0;
}

// Pass by pass, each measured by the serialiser.
Ref clamp_serialised(Ref copy, PyObject* max_bytes) {
    while (!fits_serialised(copy.get(), max_bytes)) {
        Ref biggest_key, biggest_value;
        Py_ssize_t biggest_len = 0, pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(copy.get(), &pos, &key, &value)) {
            if (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) > biggest_len) {
                biggest_key = Ref::borrow(key);
                biggest_value = Ref::borrow(value);
                biggest_len = PyUnicode_GET_LENGTH(value);
            }
        }
        if (!biggest_key || biggest_len <= kHalvingFloor) {
            drop_bulky_keys(copy.get());
            return copy;
        }
        check(PyDict_SetItem(copy.get(), biggest_key.get(),
                             with_cut_mark(biggest_value.get(), biggest_len / 2).get()));
    }
    return copy;
}

}  // namespace

Ref clamp_copy(Ref copy, PyObject* max_bytes, bool standard_json, Py_ssize_t json_length) {
    if (!standard_json) return clamp_serialised(std::move(copy), max_bytes);
    return clamp_accounted(std::move(copy), budget_of(max_bytes), json_length);
}

Ref clamp_metadata(PyObject* metadata, PyObject* max_bytes) {
    return clamp_copy(Ref::steal(PyDict_Copy(metadata)), max_bytes, json_is_standard());
}

VectorStoreReduction::VectorStoreReduction(PyObject* self)
    : clamp_(py::attr(self, names()._clamp_metadata_for_vs)), budget_(py::attr(self, names()._VS_META_MAX)) {
    if (operation_def_of(clamp_.get()) == &clamp_definition()) {
        max_bytes_ = normalise_integer_argument("max_bytes", budget_.get());
    }
}

Ref VectorStoreReduction::reduce(PyObject* metadata) const {
    if (!max_bytes_) return py::call(clamp_.get(), {metadata, budget_.get()});
    return clamp_metadata(metadata, max_bytes_.get());
}

Ref VectorStoreReduction::reduce_measured(PyObject* metadata, Ref snapshot, bool standard_json,
                                          Py_ssize_t json_length) const {
    if (!max_bytes_) return py::call(clamp_.get(), {metadata, budget_.get()});
    return clamp_copy(std::move(snapshot), max_bytes_.get(), standard_json, json_length);
}

namespace ops {

Ref clamp_metadata_for_vs(const ClampArgs& args) { return clamp_metadata(args.metadata, args.max_bytes); }

}  // namespace ops
}  // namespace kg
