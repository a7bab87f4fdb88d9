// NumPy arrays in and out: matching an argument against an accepted dtype
// and shape, reading its samples row-major (in place or copied), and
// wrapping a computed buffer as a new array without a copy.
#pragma once

#include <Python.h>

#include "handle.hpp"
#include "numpy_api.hpp"
#include "sample.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace linora::py {

// The NumPy type number of samples of type T.
template <class T> struct NumpyType;
template <> struct NumpyType<std::uint8_t> { static constexpr np::TypeNum value = np::UByte; };
template <> struct NumpyType<std::uint16_t> { static constexpr np::TypeNum value = np::UShort; };
template <> struct NumpyType<float> { static constexpr np::TypeNum value = np::Float; };
template <> struct NumpyType<double> { static constexpr np::TypeNum value = np::Double; };

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

extern template class Samples<std::uint8_t>;
extern template class Samples<std::uint16_t>;
extern template class Samples<float>;
extern template class Samples<double>;

// Wraps `buffer` as a new C-ordered, writeable ndarray of `type` and shape
// `dims`. The array takes the memory over without a copy and frees it when it
// is freed. Returns nullptr with an exception set on failure (the memory is
// freed then too).
template <class T>
PyObject* wrap_buffer(const np::Api& api, Buffer<T>&& buffer, np::TypeNum type, int ndim,
                      const Py_ssize_t* dims);

} // namespace linora::py
