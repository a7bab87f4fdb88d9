// Once-only initialisation of process-wide objects (the Segment type, the
// internal-error class, the NumPy C-API table) that is safe with and without
// the global interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace linora::py {

// A mutex taken by an attached thread. While it waits for the mutex it
// detaches from the interpreter, so that the holder (who may run Python code,
// such as an import, under the lock) can always make progress: no deadlock
// with the global lock of a GIL-enabled interpreter, nor with a
// stop-the-world pause of a free-threaded one.
class AttachedLock {
  public:
    explicit AttachedLock(std::mutex& m) : m_(m) {
        if (!m_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS m_.lock();
            Py_END_ALLOW_THREADS
        }
    }
    ~AttachedLock() { m_.unlock(); }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

  private:
    std::mutex& m_;
};

// A pointer set once under a lock and read without one afterwards. If the
// creating function fails (returns null with an exception set), the slot
// stays empty and the next caller tries again.
template <class T> class OnceSlot {
  public:
    template <class Make> T* get(Make&& make) {
        T* p = value_.load(std::memory_order_acquire);
        if (p != nullptr) return p;
        AttachedLock lock(mutex_);
        p = value_.load(std::memory_order_relaxed);
        if (p == nullptr) {
            p = make();
            if (p != nullptr) value_.store(p, std::memory_order_release);
        }
        return p;
    }

  private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

} // namespace linora::py
