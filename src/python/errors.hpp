// Raising the module's exceptions: the internal-error class, conversion
// notes, the type-mismatch message, and the translation of exceptions thrown
// by the computation core.
#pragma once

#include <Python.h>

#include "thread_ready.hpp"

#include <exception>
#include <string>
#include <type_traits>

namespace linora::py {

// Sets the internal-error exception (a class derived directly from
// BaseException, created on first use) with `message`. Returns nullptr so
// that callers can `return raise_internal(...)`.
PyObject* raise_internal(const std::string& message);

// Adds the note "while processing '<name>'" to the exception being raised.
// If attaching the note fails, the original exception stays set without it.
void add_processing_note(const char* name);

// Sets TypeError "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'" for None.
void raise_type_mismatch(PyObject* obj, const char* target);

// Takes the exception being raised (normalised; a new reference, or null
// when none is set) and clears it.
PyObject* take_raised();
// Raises `exception` again, taking over the reference.
void restore_raised(PyObject* exception);

// Sets the Python exception for an exception thrown by the computation core:
// RaisedWhileDetached -> that exception (given once: it carries one
// reference), InputTooLarge -> ValueError, OutputTooLarge and std::bad_alloc
// -> MemoryError, InternalError and anything else -> the internal-error class.
void raise_from_core(std::exception_ptr error);

// Runs fn(ctx) and returns the exception it threw, or null. glibc's forced
// unwind (a thread being ended: the interpreter ends a daemon thread at exit
// when it re-attaches) is not caught: it must go on.
std::exception_ptr capture(void (*fn)(void*), void* ctx);

// Runs `body` and returns the exception it threw, or null (see capture).
template <class Body> std::exception_ptr capture(Body&& body) {
    using B = std::remove_reference_t<Body>;
    return capture([](void* b) { (*static_cast<B*>(b))(); }, &body);
}

// Runs an entry point's body, turning any C++ exception that escapes it into
// the matching Python exception (no exception may cross into the
// interpreter), except a forced unwind: that one goes on, detached, and so
// nothing on its way may touch Python objects.
template <class Body> PyObject* guarded(Body&& body) {
    // A thread's first C++ exception may need memory that is not there any
    // more by the time it is thrown (thread_ready.hpp).
    if (!ready_to_throw()) return PyErr_NoMemory();
    PyObject* result = nullptr;
    if (std::exception_ptr error = capture([&] { result = body(); })) {
        raise_from_core(error);
        return nullptr;
    }
    return result;
}

} // namespace linora::py
