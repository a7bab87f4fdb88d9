// The module's functions, as vectorcall entry points. Each one converts
// every C++ exception into a Python exception before it returns.
#pragma once

#include <Python.h>

namespace linora::py {

PyObject* detect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* warp_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_gray(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace linora::py
