// A small owning handle for Python object references, so that every error
// path releases what it holds.
#pragma once

#include <Python.h>

#include <utility>

namespace linora::py {

// True when the calling thread is attached to the interpreter.
inline bool attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Releases one reference, unless the thread is not attached: a thread that
// the interpreter ends while it re-attaches (a daemon thread at exit) unwinds
// detached through the destructors of its handles, which must then leave the
// objects alone (a leak at exit instead of a crash).
inline void decref_if_attached(PyObject* o) noexcept {
    if (o != nullptr && attached()) Py_DECREF(o);
}

// Owns one strong reference (or none).
class Ref {
  public:
    Ref() = default;
    // Takes over a new reference (as returned by most C-API calls); a null
    // pointer makes an empty handle.
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            decref_if_attached(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { decref_if_attached(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

} // namespace linora::py
