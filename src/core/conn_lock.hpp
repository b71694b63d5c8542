// Serialises the store's work on its one DuckDB connection.
//
// The database client does not support one connection used by several
// threads at once, so every statement, together with the fetch of its rows,
// runs under this lock. The lock is never waited for while holding the GIL:
// a thread that finds it taken lets the GIL go, waits, and takes the GIL
// back, so a thread holding the lock can always get the GIL it needs to
// finish. The owner may enter again (a replaced facility or a subclass may
// call back into the store while a statement runs).
#pragma once

#include "core/pyref.hpp"

#include <atomic>
#include <mutex>

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

private:
    void enter() {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }

    void leave() {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    std::mutex mutex_;
    std::atomic<unsigned long> owner_{0};
    int depth_ = 0;  // only touched by the owner
};

}  // namespace kg
