// Making a thread ready to throw C++ exceptions before memory runs out.
//
// The C++ runtime keeps each thread's exception state (what __cxa_throw
// counts) in thread_local storage of its shared library. When that library
// is loaded with an extension module, the C library allocates this storage
// on the thread's first exception and, when it cannot, ends the process
// ("cannot allocate memory for thread-local data"). A thread whose first
// exception is a std::bad_alloc thrown because memory is exhausted would die
// there. So every thread that runs the library's work makes the storage exist
// at a point where it can still refuse cleanly: before a call does anything
// (the binding), when a pool worker starts.
#pragma once

#include <cstdlib>
#include <exception>

namespace linora {

// Makes the runtime's exception state exist on this thread, and returns
// true; returns false, having done nothing that could end the process, when
// even a small block of memory cannot be had. A block is taken and given
// back first so that the C library finds memory for the state where it
// looks (its allocator's free lists), even when the address space is full.
// Costs an allocation and a release once the state exists.
inline bool ready_to_throw() noexcept {
    constexpr std::size_t kProbe = 4096;
    void* probe = std::malloc(kProbe);
    if (probe == nullptr) return false;
    std::free(probe);
    // Declared pure, so a discarded result would drop the call.
    [[maybe_unused]] volatile int exceptions = std::uncaught_exceptions();
    return true;
}

} // namespace linora
