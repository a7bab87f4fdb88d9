#include "arrays.hpp"

#include "handle.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace linora::py {

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

namespace {

// True when the array can be read in place as row-major samples of its
// element size: every axis longer than 1 has the stride of a C-ordered
// array, or some axis is empty.
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

// Copies the elements of `a` in logical row-major order into `out`.
template <class T> void copy_row_major(const np::ArrayObject* a, T* out) {
    const int nd = a->nd;
    std::size_t count = 1;
    for (int axis = 0; axis < nd; ++axis)
        count *= static_cast<std::size_t>(a->dimensions[axis]);
    if (count == 0) return;
    // An odometer over all but the last axis; the last axis is a strided run.
    Py_ssize_t index[8] = {0};
    const Py_ssize_t inner = nd > 0 ? a->dimensions[nd - 1] : 1;
    const Py_ssize_t inner_stride = nd > 0 ? a->strides[nd - 1] : 0;
    for (std::size_t done = 0; done < count; done += static_cast<std::size_t>(inner)) {
        const char* p = a->data;
        for (int axis = 0; axis + 1 < nd; ++axis)
            p += index[axis] * a->strides[axis];
        for (Py_ssize_t i = 0; i < inner; ++i)
            std::memcpy(out++, p + i * inner_stride, sizeof(T));
        for (int axis = nd - 2; axis >= 0; --axis) {
            if (++index[axis] < a->dimensions[axis]) break;
            index[axis] = 0;
        }
    }
}

} // namespace

template <class T> Samples<T>::Samples(PyObject* obj) : array_(obj) {
    Py_INCREF(array_);
    const np::ArrayObject* a = as_array(obj);
    count_ = 1;
    for (int axis = 0; axis < a->nd; ++axis)
        count_ *= static_cast<std::size_t>(a->dimensions[axis]);
    // Read in place only when the samples are also aligned for T: NumPy allows
    // arrays at any byte offset, and reading a misaligned T is undefined.
    const bool aligned = reinterpret_cast<std::uintptr_t>(a->data) % alignof(T) == 0;
    if (c_ordered(a, sizeof(T)) && aligned) {
        data_ = reinterpret_cast<const T*>(a->data);
    } else {
        try {
            copy_ = Buffer<T>(count_);
        } catch (const std::bad_alloc&) {
            throw OutputTooLarge("cannot allocate a row-major copy of an array of " +
                                 std::to_string(count_) + " samples");
        }
        copy_row_major(a, copy_.data());
        data_ = copy_.data();
    }
}

template class Samples<std::uint8_t>;
template class Samples<std::uint16_t>;
template class Samples<float>;
template class Samples<double>;

namespace {
constexpr const char* kBufferCapsule = "linora.buffer";

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kBufferCapsule));
}
} // namespace

template <class T>
PyObject* wrap_buffer(const np::Api& api, Buffer<T>&& buffer, np::TypeNum type, int ndim,
                      const Py_ssize_t* dims) {
    // The capsule owns the memory from here on; it becomes the array's base.
    T* data = buffer.release();
    Ref owner = Ref::steal(PyCapsule_New(data, kBufferCapsule, free_buffer));
    if (!owner) {
        std::free(data);
        return nullptr;
    }
    PyObject* descr = api.descr_from_type(type);
    if (descr == nullptr) return nullptr;
    // new_from_descr takes over the descriptor reference, even on failure.
    Ref array = Ref::steal(
        api.new_from_descr(api.array_type, descr, ndim, dims, nullptr, data, np::kCArray, nullptr));
    if (!array) return nullptr;
    // set_base_object takes over the owner reference, even on failure.
    if (api.set_base_object(array.get(), owner.release()) != 0) return nullptr;
    return array.release();
}

template PyObject* wrap_buffer<std::uint8_t>(const np::Api&, Buffer<std::uint8_t>&&, np::TypeNum,
                                             int, const Py_ssize_t*);
template PyObject* wrap_buffer<std::uint16_t>(const np::Api&, Buffer<std::uint16_t>&&, np::TypeNum,
                                              int, const Py_ssize_t*);

} // namespace linora::py
