// Serialises the store's work on its one DuckDB connection.
//
// The database client does not support one connection used by several
// threads at once, so every statement, together with the fetch of its rows,
// runs under this lock. The lock is never waited for while holding the GIL:
// a thread that finds it taken lets the GIL go, waits, and takes the GIL
// back, so a thread holding the lock can always get the GIL it needs to
// finish. The owner may enter again (a replaced facility or a subclass may
// call back into the store while a statement runs).
//
// At interpreter exit the module's exit hook closes the lock: it waits for
// the statement that is running, then owns the lock for good. A daemon
// thread that wants it afterwards waits without the GIL and is never woken,
// so no thread is inside the database client when the runtime ends the
// threads that still run (the client does not survive that). The thread
// that closed the lock keeps using the store, since the lock is re-entrant
// for it; any other thread that enters after the hook has run waits forever.
//
// A child forked while another thread held or awaited the lock has only the
// forking thread: the others, and their hold, are gone. The child's fork
// handler (module.cpp) makes the lock free again, so that the child can
// leave (its exit hook takes the lock). When a statement was running at the
// fork, the child's copy of the database client is stopped inside it and
// would hang the next statement: the store then refuses every statement in
// the child with a RuntimeError instead.
#pragma once

#include "core/pyref.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

namespace kg {

class ConnLock {
public:
    class [[nodiscard]] Guard {
    public:
        explicit Guard(ConnLock& lock) : lock_(&lock) { lock_->enter(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { lock_->leave(); }

    private:
        ConnLock* lock_;
    };

    // Takes the lock for the calling thread and never gives it back. Called
    // with the GIL held.
    void close() {
        closer_.store(PyThread_get_thread_ident(), std::memory_order_release);
        enter(/*closing=*/true);
    }

    // In a forked child, before anything else runs: the forking thread keeps
    // what it held; a hold or a closing by any other thread is dropped.
    void forget_other_threads_after_fork() noexcept {
        const unsigned long me = PyThread_get_thread_ident();
        if (closer_.load(std::memory_order_relaxed) != me) closer_.store(0, std::memory_order_relaxed);
        const unsigned long owner = owner_.load(std::memory_order_relaxed);
        if (owner == me) return;
        if (owner != 0) forked_mid_statement_ = true;
        new (&mutex_) std::mutex();  // the old one may be locked by a thread the child does not have
        owner_.store(0, std::memory_order_relaxed);
        depth_ = 0;
    }

private:
    void enter(bool closing = false) {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        if (forked_mid_statement_ && !closing) {
            raise(PyExc_RuntimeError,
                  "this process was forked while another thread ran a statement of the store; its connection "
                  "cannot be used here (open the store in a fresh process)");
        }
        if (closer_.load(std::memory_order_acquire) != 0 || !mutex_.try_lock()) wait_without_gil(me);
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }

    void leave() {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    void wait_without_gil(unsigned long me) {
        PyThreadState* thread_state = PyEval_SaveThread();
        for (;;) {
            mutex_.lock();
            const unsigned long closer = closer_.load(std::memory_order_acquire);
            if (closer == 0 || closer == me) break;
            // Closed while this thread waited: make way for the closer.
            mutex_.unlock();
            for (;;) pause();
        }
        try {
            PyEval_RestoreThread(thread_state);
        } catch (const abi::__forced_unwind&) {
            // Ended by the runtime on its way back to the GIL: a lock left
            // held here would stop whoever still uses the store at exit.
            mutex_.unlock();
            throw;
        }
    }

    std::mutex mutex_;
    std::atomic<unsigned long> owner_{0};
    std::atomic<unsigned long> closer_{0};  // the thread that closed the lock, or 0
    int depth_ = 0;                         // only touched by the owner
    bool forked_mid_statement_ = false;     // set in a forked child only
};

}  // namespace kg
