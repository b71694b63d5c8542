// Serialises the store's work on its one DuckDB connection.
//
// The database client does not support one connection used by several
// threads at once, so every statement, together with the fetch of its rows,
// runs under this lock. The lock is never waited for while holding the GIL:
// a thread that finds it taken lets the GIL go and waits, taking the GIL
// back every few milliseconds to answer Ctrl-C, so a thread holding the lock
// can always get the GIL it needs to finish. The owner may enter again (a
// replaced facility or a subclass may call back into the store while a
// statement runs, and a transaction of the `transactions` module holds the
// lock across the statements of its block).
//
// At interpreter exit the module's exit hook closes the lock: it waits for
// the statement that is running, then owns the lock for good. A daemon
// thread that wants it afterwards waits without the GIL and is never let
// in, so no thread is inside the database client when the runtime ends the
// threads that still run (the client does not survive that). The thread
// that closed the lock keeps using the store, since the lock is re-entrant
// for it; any other thread that enters after the hook has run waits forever.
//
// A child forked after the store opened its connection has a copy of the
// parent's database client, caught in whatever state the parent's threads
// left it: a statement there would write through the parent's files
// behind the parent's back, or hang inside a statement another thread of
// the parent was running. Every statement in such a child is refused with a
// RuntimeError; the child's fork handler (module.cpp) frees the lock so
// that the child can still exit (its exit hook takes the lock).
#pragma once

#include "store/core/pyref.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

    // Start-up opened the connection: a child forked from here on must not
    // use it.
    void connection_opened() noexcept { connection_opened_ = true; }

    // In a forked child, before anything else runs: the forking thread keeps
    // what it held; a hold or a closing by any other thread is dropped.
    void forget_other_threads_after_fork() noexcept {
        forked_child_ = connection_opened_;
        const unsigned long me = PyThread_get_thread_ident();
        if (closer_.load(std::memory_order_relaxed) != me) closer_.store(0, std::memory_order_relaxed);
        const unsigned long owner = owner_.load(std::memory_order_relaxed);
        if (owner == me) return;
        new (&mutex_) std::timed_mutex();  // the old one may be locked by a thread the child does not have
        owner_.store(0, std::memory_order_relaxed);
        depth_ = 0;
    }

    // Whether the calling thread holds the lock.
    bool held_by_this_thread() const noexcept {
        return owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
    }

    // Takes the lock for the calling thread (again, when it holds it), with
    // the GIL held; an interrupt while waiting, or a forked child, raises.
    // Each enter() is matched by one leave() on the same thread: Guard
    // pairs them for a scope, a transaction for its block.
    void enter(bool closing = false) {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        if (forked_child_ && !closing) {
            raise(PyExc_RuntimeError,
                  "this process was forked from the one that opened the store: its database connection belongs "
                  "to that process and cannot be used here (open the store only in the process that uses it: "
                  "multiprocessing's \"spawn\" or \"forkserver\" start method, or a pre-forking server that "
                  "opens it after the fork, in one worker)");
        }
        if (closer_.load(std::memory_order_acquire) != 0 || !mutex_.try_lock()) wait_without_gil(me, closing);
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }

    void leave() {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

private:
    // How long a waiting thread stays without the GIL before it looks for
    // signals: Ctrl-C stops a wait within this time.
    static constexpr std::chrono::milliseconds kSignalCheckInterval{20};

    void wait_without_gil(unsigned long me, bool closing) {
        for (;;) {
            PyThreadState* thread_state = PyEval_SaveThread();
            // Against the system clock: its timed lock is as old as the C
            // library's threads (the steady clock's needs glibc 2.30, beyond
            // what the release wheel may ask for); a clock step only makes
            // one look for signals early or late.
            const bool taken = mutex_.try_lock_until(std::chrono::system_clock::now() + kSignalCheckInterval);
            if (taken) {
                const unsigned long closer = closer_.load(std::memory_order_acquire);
                if (closer != 0 && closer != me) {
                    // Closed while this thread waited: make way for the closer.
                    mutex_.unlock();
                    for (;;) pause();
                }
            }
            try {
                PyEval_RestoreThread(thread_state);
            } catch (const abi::__forced_unwind&) {
                // Ended by the runtime on its way back to the GIL: a lock left
                // held here would stop whoever still uses the store at exit.
                if (taken) mutex_.unlock();
                throw;
            }
            if (taken) return;
            if (!closing && PyErr_CheckSignals() < 0) throw_error_already_set();
        }
    }

    std::timed_mutex mutex_;
    std::atomic<unsigned long> owner_{0};
    std::atomic<unsigned long> closer_{0};  // the thread that closed the lock, or 0
    int depth_ = 0;                         // only touched by the owner
    bool connection_opened_ = false;        // set with the GIL held, read by the fork handler
    bool forked_child_ = false;             // set in a forked child only
};

}  // namespace kg
