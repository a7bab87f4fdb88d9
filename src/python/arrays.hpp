// NumPy arrays in and out: matching an argument against an accepted dtype
// and shape, reading its samples row-major (in place or copied), and
// wrapping a computed buffer as a new array without a copy.
#pragma once

#include <Python.h>

#include "buffer.hpp"
#include "handle.hpp"
#include "numpy_api.hpp"
#include "sample_names.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <string>

namespace linora::py {

// The NumPy type number of samples of type T.
template <class T> struct NumpyType;
template <> struct NumpyType<std::uint8_t> { static constexpr np::TypeNum value = np::UByte; };
template <> struct NumpyType<std::uint16_t> { static constexpr np::TypeNum value = np::UShort; };
template <> struct NumpyType<float> { static constexpr np::TypeNum value = np::Float; };
template <> struct NumpyType<double> { static constexpr np::TypeNum value = np::Double; };

// Sets TypeError "<head><names><tail>", the names listed as "a, b or c"
// (LINORA_SAMPLE_NAME(T) makes them from a type list); returns nullptr.
PyObject* raise_sample_types(const std::string& head, std::initializer_list<const char*> names,
                             const std::string& tail = "");
#define LINORA_SAMPLE_NAME(T) SampleName<T>::value,

// True when `obj` is a NumPy array (or subclass instance) with `ndim`
// dimensions, a dtype equivalent to `type` (same kind and size, native byte
// order) and, when `last_axis` is non-zero, that many elements on its last
// axis. Never raises.
bool matches(const np::Api& api, PyObject* obj, int ndim, np::TypeNum type,
             Py_ssize_t last_axis = 0);

inline np::ArrayObject* as_array(PyObject* obj) {
    return reinterpret_cast<np::ArrayObject*>(obj);
}
inline std::size_t dim(PyObject* obj, int axis) {
    return static_cast<std::size_t>(as_array(obj)->dimensions[axis]);
}

// The samples of a matched array in row-major order: the array's own memory
// when it is C-ordered (or empty) and aligned for T, otherwise a copy owned by
// this object.
// Holds a reference to the array for as long as it lives.
template <class T> class Samples {
  public:
    // Reads `obj`, a matched array whose elements are T. Throws
    // std::bad_alloc when the copy cannot be allocated.
    explicit Samples(PyObject* obj);
    ~Samples() { decref_if_attached(array_); }
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;

    std::span<const T> span() const { return {data_, count_}; }

  private:
    PyObject* array_;
    const T* data_ = nullptr;
    std::size_t count_ = 0;
    Buffer<T> copy_; // calloc'ed: a size that cannot be had is a bad_alloc
};

// True when the array can be read in place as row-major samples of
// `itemsize` bytes: every axis longer than 1 has the stride of a C-ordered
// array, or some axis is empty.
bool c_ordered(const np::ArrayObject* a, Py_ssize_t itemsize);

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

// Defined here, not instantiated from a list: any sample type with a
// NumpyType works.
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

// Wraps `buffer` as a new C-ordered, writeable ndarray of shape `dims`.
// The array takes the memory over without a copy and frees it when it is
// freed. Returns nullptr with an exception set on failure (the memory is
// freed then too). Instances exist for LINORA_RESAMPLE_SAMPLE_TYPES.
template <class T>
PyObject* wrap_buffer(const np::Api& api, Buffer<T>&& buffer, int ndim, const Py_ssize_t* dims);

} // namespace linora::py
