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

// Calls `visit` with each id of `ids` (a list of our own).
template <typename Visit>
void for_each_id(PyObject* ids, Visit&& visit) {
    const Py_ssize_t count = PyList_GET_SIZE(ids);
    for (Py_ssize_t i = 0; i < count; ++i) visit(PyList_GET_ITEM(ids, i));
}

bool contains(PyObject* set, PyObject* id) { return check(PySet_Contains(set, id)) != 0; }

}  // namespace

DocumentTraffic::Mirror::Mirror(DocumentTraffic& traffic, PyObject* ids)
    : traffic_(traffic), ids_(Ref::borrow(ids)), deletions_at_write_(traffic.deletions_) {
    if (!traffic_.claims_.empty()) {
        if (!traffic_.written_) traffic_.written_ = Ref::steal(PyDict_New());
        Ref write = py::integer(static_cast<long long>(++traffic_.writes_));
        for_each_id(ids, [&](PyObject* id) { check(PyDict_SetItem(traffic_.written_.get(), id, write.get())); });
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
        if (claim->thread == me || PySet_GET_SIZE(claim->being_deleted.get()) == 0) continue;
        bool found = false;
        for_each_id(ids, [&](PyObject* id) { found = found || contains(claim->being_deleted.get(), id); });
        if (found) return true;
    }
    return false;
}

void DocumentTraffic::begin_transaction(PyObject* ids) {
    transaction_ids_ = ids;
    transaction_thread_ = PyThread_get_thread_ident();
}

void DocumentTraffic::end_transaction() noexcept {
    transaction_ids_ = nullptr;
    transaction_thread_ = 0;
}

DocumentTraffic::Delivery::Delivery(DocumentTraffic& traffic)
    : traffic_(traffic),
      claim_(new Claim{PyThread_get_thread_ident(), traffic.writes_, traffic.queueings_,
                       Ref::steal(PySet_New(nullptr)), Ref::steal(PySet_New(nullptr))}) {
    traffic_.claims_.push_back(claim_);
}

DocumentTraffic::Delivery::~Delivery() {
    auto& claims = traffic_.claims_;
    if (auto found = std::find(claims.begin(), claims.end(), claim_); found != claims.end()) claims.erase(found);
    delete claim_;
    // A thread ended by the runtime unwinds through here without the GIL.
    if (claims.empty() && holds_gil()) traffic_.written_ = Ref();
}

Ref DocumentTraffic::Delivery::claim(PyObject* ids) {
    Ref in_flight = Ref::steal(PySet_New(nullptr));
    for (PyObject* mirror : traffic_.mirrors_) {
        for_each_id(mirror, [&](PyObject* id) { check(PySet_Add(in_flight.get(), id)); });
    }
    Ref kept = Ref::steal(PyList_New(0));
    for_each_id(ids, [&](PyObject* id) {
        if (contains(in_flight.get(), id)) return;
        for (const Claim* other : traffic_.claims_) {
            if (other != claim_ && contains(other->claimed.get(), id)) return;
        }
        check(PyList_Append(kept.get(), id));
        check(PySet_Add(claim_->claimed.get(), id));
    });
    return kept;
}

bool DocumentTraffic::Delivery::was_written_since(PyObject* id) const {
    if (!traffic_.written_) return false;
    PyObject* write = PyDict_GetItemWithError(traffic_.written_.get(), id);  // borrowed
    if (write == nullptr) {
        if (PyErr_Occurred()) throw_error_already_set();
        return false;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(write);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_already_set();
    return count > claim_->since;
}

Ref DocumentTraffic::Delivery::written_since(PyObject* ids) const {
    Ref written = Ref::steal(PyList_New(0));
    if (!traffic_.written_) return written;
    for_each_id(ids, [&](PyObject* id) {
        if (was_written_since(id)) check(PyList_Append(written.get(), id));
    });
    return written;
}

Ref DocumentTraffic::Delivery::begin_chunk(PyObject* chunk) {
    Ref kept = Ref::steal(PyList_New(0));
    for_each_id(chunk, [&](PyObject* id) {
        if (was_written_since(id)) return;
        check(PyList_Append(kept.get(), id));
        check(PySet_Add(claim_->being_deleted.get(), id));
    });
    return kept;
}

void DocumentTraffic::Delivery::end_chunk() noexcept {
    // Clearing a set of str runs no code of the host's.
    if (holds_gil()) PySet_Clear(claim_->being_deleted.get());
}

DocumentTraffic& traffic() { return state().traffic; }

}  // namespace kg::outbox
