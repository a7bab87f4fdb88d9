#include "arrays.hpp"

#include "handle.hpp"

#include "warp/resample.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace linora::py {

PyObject* raise_sample_types(const std::string& head, std::initializer_list<const char*> names,
                             const std::string& tail) {
    std::string message = head;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) message += i + 1 == names.size() ? " or " : ", ";
        message += names.begin()[i];
    }
    PyErr_SetString(PyExc_TypeError, (message + tail).c_str());
    return nullptr;
}

bool matches(const np::Api& api, PyObject* obj, int ndim, np::TypeNum type, Py_ssize_t last_axis) {
    if (!PyObject_TypeCheck(obj, api.array_type)) return false;
    np::ArrayObject* a = as_array(obj);
    if (a->nd != ndim) return false;
    if (last_axis != 0 && a->dimensions[ndim - 1] != last_axis) return false;
    PyObject* want = api.descr_from_type(type);
    if (want == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool equivalent = api.equiv_types(a->descr, want) != 0;
    Py_DECREF(want);
    return equivalent;
}

bool c_ordered(const np::ArrayObject* a, Py_ssize_t itemsize) {
    Py_ssize_t expected = itemsize;
    for (int axis = a->nd - 1; axis >= 0; --axis) {
        if (a->dimensions[axis] == 0) return true;
    }
    for (int axis = a->nd - 1; axis >= 0; --axis) {
        Py_ssize_t n = a->dimensions[axis];
        if (n > 1 && a->strides[axis] != expected) return false;
        expected *= n;
    }
    return true;
}

namespace {
constexpr const char* kBufferCapsule = "linora.buffer";

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kBufferCapsule));
}
} // namespace

template <class T>
PyObject* wrap_buffer(const np::Api& api, Buffer<T>&& buffer, int ndim, const Py_ssize_t* dims) {
    // The capsule owns the memory from here on; it becomes the array's base.
    T* data = buffer.release();
    Ref owner = Ref::steal(PyCapsule_New(data, kBufferCapsule, free_buffer));
    if (!owner) {
        std::free(data);
        return nullptr;
    }
    PyObject* descr = api.descr_from_type(NumpyType<T>::value);
    if (descr == nullptr) return nullptr;
    // new_from_descr takes over the descriptor reference, even on failure.
    Ref array = Ref::steal(
        api.new_from_descr(api.array_type, descr, ndim, dims, nullptr, data, np::kCArray, nullptr));
    if (!array) return nullptr;
    // set_base_object takes over the owner reference, even on failure.
    if (api.set_base_object(array.get(), owner.release()) != 0) return nullptr;
    return array.release();
}

#define LINORA_INSTANCE(T)                                                                         \
    template PyObject* wrap_buffer<T>(const np::Api&, Buffer<T>&&, int, const Py_ssize_t*);
LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora::py
