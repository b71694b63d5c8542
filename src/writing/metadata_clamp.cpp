// The result equals that of re-serialising the whole copy on every pass,
// without its cost: the copy is serialised once, with every long text value
// (the only values a pass can change) standing in as "", and the size of
// each long text is accounted on its own. A halved value is always a prefix
// of the original value plus the cut mark (a later cut falls before the
// earlier mark), so a pass only adjusts that entry's size by the escaped
// length of the characters it cuts off, and the new texts are built once,
// at the end.
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
    Py_ssize_t kept_escaped;  // escaped bytes of original[:kept]; -1 until counted

    Py_ssize_t length() const { return kept + (cut ? 1 : 0); }
    Py_ssize_t escaped() const { return kept_escaped + (cut ? kCutMarkEscaped : 0); }
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

// Size of the Compact JSON of `copy`, from one serialisation in which the
// long texts stand in as "". Errors of the serialiser (unsupported types,
// cycles) surface here exactly as for the whole copy.
Py_ssize_t serialised_size(PyObject* copy, std::vector<LongText>& texts) {
    Ref probe = Ref::steal(PyDict_Copy(copy));
    Ref empty = py::str("");
    for (LongText& t : texts) {
        check(PyDict_SetItem(probe.get(), t.key, empty.get()));
    }
    Py_ssize_t size = PyUnicode_GET_LENGTH(compact_json(probe.get()).get());
    for (LongText& t : texts) {
        t.kept_escaped = escaped_length(t.original, 0, t.kept);
        size += t.kept_escaped;
    }
    return size;
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
    long long size;
    if (known_size >= 0) {
        size = known_size;  // the long texts are counted when first cut
    } else {
        size = serialised_size(copy.get(), texts);
    }

    while (size > budget) {
        LongText* victim = longest(texts);
        if (victim == nullptr) {
            store_cut_texts(copy.get(), texts);
            for (PyObject* drop_key : {names().code_content, names().docstring}) {
                if (check(PyDict_Contains(copy.get(), drop_key))) check(PyDict_DelItem(copy.get(), drop_key));
            }
            return copy;
        }
        if (victim->kept_escaped < 0) victim->kept_escaped = escaped_length(victim->original, 0, victim->kept);
        const Py_ssize_t keep = victim->length() / 2;
        const Py_ssize_t before = victim->escaped();
        victim->kept_escaped -= escaped_length(victim->original, keep, victim->kept);
        victim->kept = keep;
        victim->cut = true;
        size += victim->escaped() - before;
    }
    store_cut_texts(copy.get(), texts);
    return copy;
}

namespace ops {

Ref clamp_metadata_for_vs(const BoundArgs& args) { return clamp_metadata(args[0], args[1], -1); }

}  // namespace ops
}  // namespace kg
