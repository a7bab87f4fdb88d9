// Running a computation with the calling thread detached from the
// interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

namespace linora::py {

// Detaches the calling thread, runs `compute`, and re-attaches on every way
// out. An exception thrown by the computation is captured in `error` and
// comes back after the thread is attached again, where it can be turned into
// a Python exception.
template <class Compute> auto run_detached(Compute&& compute, std::exception_ptr& error) {
    using Result = decltype(compute());
    Result result{};
    PyThreadState* state = PyEval_SaveThread();
    try {
        result = compute();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    return result;
}

} // namespace linora::py
