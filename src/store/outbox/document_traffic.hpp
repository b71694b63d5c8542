// What this process has under way between the rows of `facts` and their
// documents in the vector store, so that writes and deletions that overlap
// still leave every document with a row, or with its id pending deletion.
//
// The promise, under any overlap: when a write and a deletion have both
// returned, every document in the vector store belongs to a row of `facts`
// or its id is in `pending_vector_deletions`; a row written after a
// deletion keeps its document.
//
// Two kinds of call move documents, and neither holds the connection lock
// while it calls the vector store (which may be slow, or call back into the
// store):
// * A write stores its rows under the lock, then adds their documents
//   (a *mirror*), then looks again under the lock.
// * A delivery claims pending ids under the lock, hands them to `delete` a
//   chunk at a time, each chunk marked as *being deleted* under the lock
//   first, and settles under the lock at the end: the ids it delivered
//   leave the table.
//
// What may interleave, and why the promise holds:
// 1. A deletion removes a row whose document is still on its way (the
//    write stored the row, then the deletion ran, then the document
//    arrived). A delivery never claims an id whose mirror is in flight, so
//    the id stays pending; the writer, looking again after its mirror, sees
//    that a deletion ran meanwhile (the deletion count moved), finds the ids
//    of its own that the deletion queued and delivers them itself, after its
//    documents arrived. (The store's own purge_expired and delete_context
//    leave documents behind by design: they queue nothing.)
// 2. A fact is written again while a delivery holds its id. The write
//    records the id as *written* while any delivery is under way: a later
//    chunk leaves it out (its document is the new fact's), and the settling
//    keeps it pending unless its row stands (a rewritten id is dropped, as
//    it always was; one deleted again must stay). When the id's chunk is
//    being deleted at that moment, the writer waits for that chunk before
//    it adds the document, so the add comes after the delete.
// 3. Two deliveries overlap. Each leaves out the ids another has claimed,
//    so no id is handed over twice at once; an id one of them leaves out
//    stays pending for the other, or for the next.
// 4. A call is interrupted. A delivery stopped part way settles nothing:
//    what it handed over stays pending and goes again (`delete` must accept
//    ids it no longer holds). A write stopped in its mirror leaves its
//    look-again undone; `reconcile` of the tool finds such documents.
//
// Everything here is read and changed with the GIL held, and the parts
// that must agree with the table under the connection lock too: the GIL
// alone orders the rest (the module declares that it needs the GIL). The
// ids are kept as the str objects the calls hold, in sets and dicts of the
// runtime's, whose hashing of a str is done once per object.
// Known gap: a `delete` that waits for another thread writing one of the
// very ids it is deleting waits for ever (that writer waits for the chunk);
// the writer's wait answers Ctrl-C.
#pragma once

#include "store/core/pyref.hpp"

#include <cstdint>
#include <vector>

namespace kg::outbox {

// One delivery under way: the ids it claimed, and the chunk it is deleting
// (sets of str).
struct Claim {
    unsigned long thread;
    std::uint64_t since;     // the write count when it began
    std::uint64_t queueings;  // the queueing count when it began
    Ref claimed;
    Ref being_deleted;
};

class DocumentTraffic {
public:
    // A mirror in flight, registered by a write under the connection lock
    // in the same hold as its rows, and ended after its documents went.
    class [[nodiscard]] Mirror {
    public:
        Mirror(DocumentTraffic& traffic, PyObject* ids);
        Mirror(const Mirror&) = delete;
        Mirror& operator=(const Mirror&) = delete;
        ~Mirror();

        // Before the documents go: waits (without the GIL, answering Ctrl-C)
        // while another thread's delivery is deleting one of these ids.
        void wait_for_deletes() const;
        // After the documents went (or failed to): the mirror is no longer
        // in flight. Returns whether a deletion ran since the rows were
        // written, that is, whether some of them may have lost their row.
        bool end();
        PyObject* ids() const { return ids_.get(); }

    private:
        DocumentTraffic& traffic_;
        Ref ids_;
        std::uint64_t deletions_at_write_;
        bool may_wait_ = false;
        bool in_flight_ = true;
    };

    // A delivery under way, registered under the connection lock when it
    // claims its ids and ended after it settled (or was stopped).
    class [[nodiscard]] Delivery {
    public:
        explicit Delivery(DocumentTraffic& traffic);
        Delivery(const Delivery&) = delete;
        Delivery& operator=(const Delivery&) = delete;
        ~Delivery();

        // Keeps from `ids` (a list of str) those no mirror in flight and no
        // other delivery holds, and claims them; returns them as a new list.
        Ref claim(PyObject* ids);
        // Marks the claimed ids of `chunk` that were not written since as
        // being deleted, and returns them as a new list.
        Ref begin_chunk(PyObject* chunk);
        void end_chunk() noexcept;
        // Of `ids`, those written since this delivery began (a new list).
        Ref written_since(PyObject* ids) const;
        // Whether a statement queued ids since this delivery began.
        bool ids_queued_since() const { return traffic_.queueings_ != claim_->queueings; }

    private:
        bool was_written_since(PyObject* id) const;

        DocumentTraffic& traffic_;
        Claim* claim_;
    };

    // A deleting statement removed rows.
    void deletion_ran() { ++deletions_; }
    // A statement may have queued ids for deletion.
    void ids_queued() { ++queueings_; }

    // A transaction of the `transactions` module on this thread: the ids
    // written in it (`ids`, a list it owns) are the documents a rollback
    // leaves without rows. Only one at a time: the transaction holds the
    // connection lock.
    void begin_transaction(PyObject* ids);
    void end_transaction() noexcept;
    bool transaction_open_on_this_thread() const {
        return transaction_ids_ != nullptr && transaction_thread_ == PyThread_get_thread_ident();
    }
    // How many deleting statements removed rows so far.
    std::uint64_t deletions() const { return deletions_; }

private:
    bool being_deleted_by_another_thread(PyObject* ids) const;

    std::vector<PyObject*> mirrors_;  // id lists of the mirrors in flight (each Mirror owns its own)
    std::vector<Claim*> claims_;      // each Delivery owns its own
    // While a delivery is under way: each id written, with the write count
    // of its last write (a dict, made when first needed).
    Ref written_;
    std::uint64_t writes_ = 0;
    std::uint64_t deletions_ = 0;
    std::uint64_t queueings_ = 0;
    PyObject* transaction_ids_ = nullptr;  // borrowed from the open transaction
    unsigned long transaction_thread_ = 0;
};

// The process's one registry (module_state.hpp keeps it).
DocumentTraffic& traffic();

}  // namespace kg::outbox
