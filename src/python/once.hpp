// Once-only initialisation of process-wide objects (the Segment type, the
// internal-error class, the NumPy C-API table) that is safe with and without
// the global interpreter lock, across fork() and when re-entered.
#pragma once

#include <Python.h>

#include <atomic>

namespace linora::py {

// A pointer published once and read without a lock afterwards.
//
// Creating the value runs Python code (an import, NumPy's version check,
// anything the user has wrapped them with), so no lock of ours is held while
// it runs: a fork() from another thread meanwhile leaves the child nothing to
// wait for, and that code may itself call into this module. First users that
// find the slot empty each create a value; the first to publish it (a
// compare-and-swap) wins, every caller from then on gets that one value, and
// the others discard theirs. If creation fails (null with an exception set),
// the slot stays empty and the next caller tries again.
template <class T> class OnceSlot {
  public:
    // `make()` returns a new value or null with an exception set;
    // `discard(value)` releases a value that lost the race.
    template <class Make, class Discard> T* get(Make&& make, Discard&& discard) {
        T* p = value_.load(std::memory_order_acquire);
        if (p != nullptr) return p;
        T* mine = make();
        if (mine == nullptr) return nullptr;
        if (value_.compare_exchange_strong(p, mine, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return mine;
        discard(mine); // p now holds the published value
        return p;
    }

  private:
    std::atomic<T*> value_{nullptr};
};

} // namespace linora::py
