// Running the computation core on the samples of a call's arrays with the
// calling thread detached from the interpreter, interruptible from the
// interpreter's main thread.
#pragma once

#include <Python.h>

#include "arrays.hpp"
#include "cancel.hpp"
#include "core_errors.hpp"
#include "errors.hpp"

#include <exception>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

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

// An argument array of elements of type T (matched before), for call_core.
template <class T> struct Input { PyObject* array; };

namespace detail {
// run(spans...) on the samples of the inputs, read in order and released
// when run returns.
template <class Run> void with_samples(Run&& run) {
    run();
}
template <class Run, class T, class... Rest>
void with_samples(Run&& run, Input<T> first, Input<Rest>... rest) {
    const Samples<T> samples(first.array);
    with_samples([&](auto... spans) { run(samples.span(), spans...); }, rest...);
}
} // namespace detail

// The one way a call runs the computation core: reads the samples of the
// inputs, detaches the calling thread, runs compute(spans...), re-attaches
// on every way out and releases the samples, then returns wrap(the result).
// Returns nullptr with a Python exception set instead: the one a signal
// handler raised meanwhile (it takes precedence, also when the computation
// finished: it is never lost), else the translation of what the computation
// threw (raise_from_core), else the internal error for a SizeMismatch, which
// the arrays' own shapes rule out.
template <class Compute, class Wrap, class... T>
PyObject* call_core(Compute&& compute, Wrap&& wrap, Input<T>... inputs) {
    std::optional<std::invoke_result_t<Compute&, std::span<const T>...>> result;
    std::exception_ptr error;
    detail::with_samples(
        [&](std::span<const T>... spans) {
            Detached detached;
            detached.detach();
            // A forced unwind (the thread being ended) goes on from here, detached.
            error = capture([&] { result.emplace(compute(spans...)); });
            detached.attach();
            if (PyObject* raised = detached.take_exception())
                error = std::make_exception_ptr(RaisedWhileDetached{raised});
        },
        inputs...);
    if (error) {
        raise_from_core(error);
        return nullptr;
    }
    if (const auto* mismatch = std::get_if<SizeMismatch>(&*result))
        return raise_internal((sizeof...(T) == 1
                                   ? "the buffer length comes from the array's own shape: "
                                   : "the buffer lengths come from the arrays' own shapes: ") +
                              linora::to_string(*mismatch));
    return wrap(std::get<0>(std::move(*result)));
}

} // namespace linora::py
