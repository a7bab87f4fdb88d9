// The extension module `linora`: its definition for multi-phase
// initialisation and its execution step.
#include <Python.h>

#include "detached.hpp"
#include "functions.hpp"
#include "handle.hpp"
#include "segment.hpp"

namespace linora::py {

namespace {

// Docstrings begin with the text signature that the interpreter turns into
// __text_signature__.
PyMethodDef methods[] = {
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect)),
     METH_FASTCALL | METH_KEYWORDS,
     "detect(gray, scale=...)\n--\n\nFind the validated line segments of a grayscale image."},
    {"warp_rgb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(warp_rgb)),
     METH_FASTCALL | METH_KEYWORDS,
     "warp_rgb(src, inverse, scale, off_x, off_y, filter=\"bilinear\", out_size=None)\n--\n\n"
     "Perspective-warp an RGB image through an inverse homography."},
    {"remap_rgb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remap_rgb)),
     METH_FASTCALL | METH_KEYWORDS,
     "remap_rgb(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
     "takes its value from source position (map_x[y, x], map_y[y, x])."},
    {"remap_gray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remap_gray)),
     METH_FASTCALL | METH_KEYWORDS,
     "remap_gray(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample a single-channel image (a mask) through a coordinate map."},
};

// Appends `name` to the module's __all__ (creating the list if missing) and
// sets the attribute `name` to `value`.
int add_name(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "linora can only be executed into a module object");
        return -1;
    }
    PyTypeObject* type = segment_type();
    if (type == nullptr) return -1;
    Ref segment_name = Ref::steal(PyUnicode_FromString("Segment"));
    if (!segment_name ||
        add_name(module, segment_name.get(), reinterpret_cast<PyObject*>(type)) < 0)
        return -1;

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : methods) {
        Ref fn = Ref::steal(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!fn) return -1;
        Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name) return -1;
        if (!PyUnicode_Check(name.get())) {
            PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
            return -1;
        }
        if (add_name(module, name.get(), fn.get()) < 0) return -1;
    }
    // Calls on the main thread run the signal handlers while they compute.
    // Without the record they are not interruptible, but they work.
    if (record_main_thread() < 0) PyErr_Clear();
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    // Adds the class and the functions to the new module object.
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Every entry point is safe to run in parallel: importing the module into
    // a free-threaded interpreter keeps the global lock off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "linora",
    "",
    0, // no per-module state: the few process-wide objects are created once
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace linora::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_linora() {
    return PyModuleDef_Init(&linora::py::module_def);
}
