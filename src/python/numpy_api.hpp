// The part of NumPy's C API this module uses, reached at run time through
// the `_ARRAY_API` capsule, so that the module builds without NumPy and runs
// with NumPy 1.15 or later, in both the 1.x (`numpy.core`) and the 2.x
// (`numpy._core`) layouts.
#pragma once

#include <Python.h>

namespace linora::py::np {

// The leading fields of NumPy's array object, identical in every NumPy
// version this module supports.
struct ArrayObject {
    PyObject_HEAD char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
};

// Element type numbers of the dtypes used here.
enum TypeNum : int { UByte = 2, UShort = 4, Float = 11, Double = 12 };

// Array flags used when wrapping an output buffer.
constexpr int kCArray = 0x0001 /*C_CONTIGUOUS*/ | 0x0100 /*ALIGNED*/ | 0x0400 /*WRITEABLE*/;

// Function table entries, by their index in the C-API table.
struct Api {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int);
    PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*,
                                void*, int, PyObject*);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
    int (*set_base_object)(PyObject*, PyObject*);
};

// The table, fetched and checked on first use and kept for the process. On
// failure returns nullptr with the internal-error exception set ("Failed to
// access NumPy array API capsule: ..."); the next call tries again.
const Api* api();

} // namespace linora::py::np
