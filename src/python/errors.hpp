// Raising the module's exceptions: the internal-error class, conversion
// notes, the type-mismatch message, and the translation of exceptions thrown
// by the computation core.
#pragma once

#include <Python.h>

#include <exception>
#include <string>

#if defined(__GLIBCXX__)
#include <cxxabi.h> // abi::__forced_unwind
#endif

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

// Runs an entry point's body, turning any C++ exception that escapes it into
// the matching Python exception (no exception may cross into the
// interpreter), except the forced unwind of a thread that the interpreter
// ends at exit while it re-attaches: that one must go on, and it does so
// detached, so nothing here touches Python objects.
template <class Body> PyObject* guarded(Body&& body) {
    try {
        return body();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        raise_from_core(std::current_exception());
        return nullptr;
    }
}

} // namespace linora::py
