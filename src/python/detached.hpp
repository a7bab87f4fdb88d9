// Running a computation with the calling thread detached from the
// interpreter, interruptible from the interpreter's main thread.
#pragma once

#include <Python.h>

#include "cancel.hpp"
#include "errors.hpp"

#include <exception>
#include <optional>
#include <utility>

namespace linora::py {

// Records the interpreter's main thread (the only thread that runs signal
// handlers). Called by the module's execution step; a forked child's main
// thread is the thread that forked, as in the interpreter.
int record_main_thread();

// A Python exception raised by a signal handler while a computation ran,
// carried to raise_from_core as a C++ exception. Holds a reference, which
// raise_from_core hands to the interpreter.
struct RaisedWhileDetached {
    PyObject* exception;
};

// The detached part of a call. On the interpreter's main thread it installs a
// cancellation scope whose tick re-attaches briefly, runs the signal handlers
// and, if one raises (KeyboardInterrupt, or what a SIGINT or SIGALRM handler
// raises), keeps that exception and stops the computation. Other threads run
// the computation without ticks.
class Detached {
  public:
    Detached() noexcept;
    ~Detached();
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

    void detach();
    // Re-attaches. On glibc, a thread that the interpreter ends here (a daemon
    // thread at exit) unwinds from inside this call, detached.
    void attach();
    // The exception a signal handler raised, or null (new reference).
    PyObject* take_exception() noexcept { return std::exchange(exception_, nullptr); }

  private:
    static void tick(void* self);

    PyThreadState* state_ = nullptr;
    PyObject* exception_ = nullptr;
    bool main_thread_;
    CancelState cancel_;
    std::optional<CancelScope> scope_;
};

// Detaches the calling thread, runs `compute`, and re-attaches on every way
// out. An exception thrown by the computation is captured in `error` and
// comes back after the thread is attached again, where raise_from_core turns
// it into a Python exception. An exception raised by a signal handler meanwhile
// takes precedence (as RaisedWhileDetached), also when the computation
// finished: the handler's exception is never lost.
template <class Compute> auto run_detached(Compute&& compute, std::exception_ptr& error) {
    using Result = decltype(compute());
    Result result{};
    Detached detached;
    detached.detach();
    // A forced unwind (the thread being ended) goes on from here, detached.
    error = capture([&] { result = compute(); });
    detached.attach();
    if (PyObject* raised = detached.take_exception())
        error = std::make_exception_ptr(RaisedWhileDetached{raised});
    return result;
}

} // namespace linora::py
