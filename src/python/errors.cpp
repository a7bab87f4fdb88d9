#include "errors.hpp"

#include "core_errors.hpp"
#include "detached.hpp"
#include "forced_unwind.hpp"
#include "handle.hpp"
#include "once.hpp"

#include <new>
#include <stdexcept>

namespace linora::py {

namespace {

OnceSlot<PyObject> g_internal_error;

PyObject* internal_error_class() {
    return g_internal_error.get(
        [] {
            // BaseException as the base: a plain `except Exception` must not
            // swallow a broken invariant.
            return PyErr_NewExceptionWithDoc(
                "linora.InternalError",
                "A broken invariant or internal refusal inside a linora call. The process can "
                "go on; the call had no effect.",
                PyExc_BaseException, nullptr);
        },
        [](PyObject* cls) { Py_DECREF(cls); });
}

} // namespace

PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_raised(PyObject* e) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(e);
#else
    if (e == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e));
    Py_INCREF(type);
    PyErr_Restore(type, e, PyException_GetTraceback(e));
#endif
}

PyObject* raise_internal(const std::string& message) {
    PyObject* cls = internal_error_class();
    if (cls == nullptr) return nullptr; // creating the class failed; that error is set
    PyErr_SetString(cls, message.c_str());
    return nullptr;
}

void add_processing_note(const char* name) {
    PyObject* exc = take_raised();
    if (exc == nullptr) return;
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
    Ref result;
    if (note) result = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!result) PyErr_Clear();
    restore_raised(exc);
}

void raise_type_mismatch(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return;
    }
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

LINORA_CATCHES_FORCED_UNWIND std::exception_ptr capture(void (*fn)(void*), void* ctx) {
    try {
        fn(ctx);
    }
#if LINORA_FORCED_UNWIND
    catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::current_exception();
    }
#else
    // Without a name for the forced unwind (libc++), a catch (...) would take
    // it and could not give it back (libc++abi rethrows a foreign exception
    // as a new one, which finds no handler). The core throws only standard
    // exceptions, so only those are caught; the unwind passes untouched.
    catch (const std::exception&) {
        return std::current_exception();
    }
#endif
    return nullptr;
}

void raise_from_core(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const RaisedWhileDetached& e) {
        restore_raised(e.exception);
    } catch (const InputTooLarge& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const OutputTooLarge& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("unknown internal error");
    }
}

} // namespace linora::py
