// The result equals that of re-serialising the whole copy on every pass,
// without its cost. The copy is serialised once, with every long text value
// (the only values a pass can change) standing in as "", and each long text
// is accounted on its own. A halved value is always a prefix of the original
// plus the cut mark (a later cut falls before the earlier mark), so it is
// kept as a length until the end, when the new texts are built once. Each
// character serialises to at least one byte, so while the character counts
// alone exceed the budget a pass needs no exact size; the escaped length of
// a text is counted only when the decision depends on it.
#include "writing/metadata_clamp.hpp"

#include "core/module_state.hpp"
#include "core/operations.hpp"
#include "core/py.hpp"
#include "writing/compact_json.hpp"

#include <climits>
#include <vector>

namespace kg {
namespace {

constexpr Py_ssize_t kHalvingFloor = 64;      // longer values are halved
constexpr Py_ssize_t kCutMarkEscaped = 6;     // U+2026 serialises as \u2026
constexpr const char* kCutMark = "\u2026";

// A text value longer than the floor, as the passes see it: the original
// text cut to `kept` characters, plus the cut mark once it has been cut.
struct LongText {
    PyObject* key;       // borrowed from the copy
    PyObject* original;  // borrowed from the copy
    Py_ssize_t kept;     // characters kept of the original
    bool cut = false;
    Py_ssize_t kept_escaped = -1;  // escaped bytes of original[:kept]; -1 until counted

    Py_ssize_t length() const { return kept + (cut ? 1 : 0); }
    Py_ssize_t mark_bytes() const { return cut ? kCutMarkEscaped : 0; }
    // Serialised bytes between the quotes: a bound until counted.
    Py_ssize_t at_least() const { return (kept_escaped < 0 ? kept : kept_escaped) + mark_bytes(); }
    Py_ssize_t exactly() {
        if (kept_escaped < 0) kept_escaped = escaped_length(original, 0, kept);
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
            texts.push_back({key, value, PyUnicode_GET_LENGTH(value), false, -1});
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
    for (const LongText& t : texts) check(PyDict_SetItem(probe.get(), t.key, empty.get()));
    return PyUnicode_GET_LENGTH(compact_json(probe.get()).get());
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

void store_cut_texts(PyObject* copy, const std::vector<LongText>& texts) {
    Ref mark;
    for (const LongText& t : texts) {
        if (!t.cut) continue;
        if (!mark) mark = py::str(kCutMark);
        Ref head = Ref::steal(PyUnicode_Substring(t.original, 0, t.kept));
        Ref value = Ref::steal(PyUnicode_Concat(head.get(), mark.get()));
        check(PyDict_SetItem(copy, t.key, value.get()));
    }
}

}  // namespace

Ref clamp_metadata(PyObject* metadata, PyObject* max_bytes, Py_ssize_t known_size) {
    Ref copy = Ref::steal(PyDict_Copy(metadata));
    const long long budget = budget_of(max_bytes);
    if (known_size >= 0 && known_size <= budget) return copy;

    std::vector<LongText> texts = long_texts_of(copy.get());
    const Py_ssize_t fixed = size_without_long_texts(copy.get(), texts);
    while (exceeds(budget, fixed, texts)) {
        LongText* victim = longest(texts);
        if (victim == nullptr) {
            store_cut_texts(copy.get(), texts);
            for (PyObject* drop_key : {names().code_content, names().docstring}) {
                if (check(PyDict_Contains(copy.get(), drop_key))) check(PyDict_DelItem(copy.get(), drop_key));
            }
            return copy;
        }
        victim->halve();
    }
    store_cut_texts(copy.get(), texts);
    return copy;
}

namespace ops {

Ref clamp_metadata_for_vs(const BoundArgs& args) { return clamp_metadata(args[0], args[1], -1); }

}  // namespace ops
}  // namespace kg
