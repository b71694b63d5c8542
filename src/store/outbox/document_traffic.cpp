#include "store/outbox/document_traffic.hpp"

#include "store/core/module_state.hpp"
#include "store/core/py.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kg::outbox {
namespace {

// How long a writer that waits for a chunk sleeps between looks.
constexpr std::chrono::milliseconds kChunkPoll{2};

// The text of an id; ids are checked to be str before anything is written.
std::string id_text(PyObject* id) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(id, &size);
    if (utf8 == nullptr) throw_error_already_set();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Calls `visit` with the text of each id of `ids` (a list of our own).
template <typename Visit>
void for_each_id(PyObject* ids, Visit&& visit) {
    const Py_ssize_t count = PyList_GET_SIZE(ids);
    for (Py_ssize_t i = 0; i < count; ++i) visit(PyList_GET_ITEM(ids, i));
}

}  // namespace

DocumentTraffic::Mirror::Mirror(DocumentTraffic& traffic, PyObject* ids)
    : traffic_(traffic), ids_(Ref::borrow(ids)), deletions_at_write_(traffic.deletions_) {
    if (!traffic_.claims_.empty()) {
        const std::uint64_t write = ++traffic_.writes_;
        for_each_id(ids, [&](PyObject* id) { traffic_.written_[id_text(id)] = write; });
        may_wait_ = traffic_.being_deleted_by_another_thread(ids);
    }
    if (traffic_.transaction_ids_ != nullptr && traffic_.transaction_thread_ == PyThread_get_thread_ident()) {
        check(PyList_SetSlice(traffic_.transaction_ids_, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, ids));
    }
    traffic_.mirrors_.push_back(ids_.get());
}

DocumentTraffic::Mirror::~Mirror() { end(); }

bool DocumentTraffic::Mirror::end() {
    if (in_flight_) {
        in_flight_ = false;
        auto& mirrors = traffic_.mirrors_;
        if (auto found = std::find(mirrors.begin(), mirrors.end(), ids_.get()); found != mirrors.end()) {
            mirrors.erase(found);
        }
    }
    return traffic_.deletions_ != deletions_at_write_;
}

void DocumentTraffic::begin_transaction(PyObject* ids) {
    transaction_ids_ = ids;
    transaction_thread_ = PyThread_get_thread_ident();
}

void DocumentTraffic::end_transaction() noexcept {
    transaction_ids_ = nullptr;
    transaction_thread_ = 0;
}

void DocumentTraffic::Mirror::wait_for_deletes() const {
    if (!may_wait_) return;
    while (traffic_.being_deleted_by_another_thread(ids_.get())) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(kChunkPoll);
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) throw_error_already_set();
    }
}

bool DocumentTraffic::being_deleted_by_another_thread(PyObject* ids) const {
    const unsigned long me = PyThread_get_thread_ident();
    for (const Claim* claim : claims_) {
        if (claim->thread == me || claim->being_deleted.empty()) continue;
        bool found = false;
        for_each_id(ids, [&](PyObject* id) { found = found || claim->being_deleted.contains(id_text(id)); });
        if (found) return true;
    }
    return false;
}

DocumentTraffic::Delivery::Delivery(DocumentTraffic& traffic)
    : traffic_(traffic), claim_(new Claim{PyThread_get_thread_ident(), traffic.writes_, {}, {}}) {
    traffic_.claims_.push_back(claim_);
}

DocumentTraffic::Delivery::~Delivery() {
    auto& claims = traffic_.claims_;
    if (auto found = std::find(claims.begin(), claims.end(), claim_); found != claims.end()) claims.erase(found);
    delete claim_;
    if (claims.empty()) traffic_.written_.clear();
}

Ref DocumentTraffic::Delivery::claim(PyObject* ids) {
    IdSet in_flight;
    for (PyObject* mirror : traffic_.mirrors_) for_each_id(mirror, [&](PyObject* id) { in_flight.insert(id_text(id)); });
    Ref kept = Ref::steal(PyList_New(0));
    for_each_id(ids, [&](PyObject* id) {
        std::string text = id_text(id);
        if (in_flight.contains(text)) return;
        for (const Claim* other : traffic_.claims_) {
            if (other != claim_ && other->claimed.contains(text)) return;
        }
        check(PyList_Append(kept.get(), id));
        claim_->claimed.insert(std::move(text));
    });
    return kept;
}

bool DocumentTraffic::Delivery::written_since(const std::string& id) const {
    const auto found = traffic_.written_.find(id);
    return found != traffic_.written_.end() && found->second > claim_->since;
}

Ref DocumentTraffic::Delivery::written_since(PyObject* ids) const {
    Ref written = Ref::steal(PyList_New(0));
    if (traffic_.written_.empty()) return written;
    for_each_id(ids, [&](PyObject* id) {
        if (written_since(id_text(id))) check(PyList_Append(written.get(), id));
    });
    return written;
}

Ref DocumentTraffic::Delivery::begin_chunk(PyObject* chunk) {
    Ref kept = Ref::steal(PyList_New(0));
    for_each_id(chunk, [&](PyObject* id) {
        std::string text = id_text(id);
        if (written_since(text)) return;
        check(PyList_Append(kept.get(), id));
        claim_->being_deleted.insert(std::move(text));
    });
    return kept;
}

void DocumentTraffic::Delivery::end_chunk() noexcept { claim_->being_deleted.clear(); }

DocumentTraffic& traffic() { return state().traffic; }

}  // namespace kg::outbox
