#include "numpy_api.hpp"

#include "errors.hpp"
#include "handle.hpp"
#include "once.hpp"

#include <new>
#include <string>

namespace linora::py::np {

namespace {

// The ABI and C-API feature versions this module is written against: NumPy
// 2's ABI (which also runs NumPy 1.x), and the API level of NumPy 1.15.
constexpr unsigned kAbiVersion = 0x2000000;
constexpr unsigned kFeatureVersion = 0xc;
constexpr int kCpuLittle = 1;

// Indices into the C-API table.
enum : int {
    GetNDArrayCVersion = 0,
    Type = 2,
    DescrFromType = 45,
    NewFromDescr = 94,
    EquivTypes = 182,
    GetEndianness = 210,
    GetNDArrayCFeatureVersion = 211,
    SetBaseObject = 282,
};

// Imports NumPy and returns its C-API table, or nullptr with an exception set.
void** fetch_table() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return nullptr;
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    const char* multiarray = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref module = Ref::steal(PyImport_ImportModule(multiarray));
    if (!module) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return nullptr;
    // The capsule's module stays imported for the life of the process (NumPy
    // cannot be unloaded), so the table outlives these references.

    auto abi = reinterpret_cast<unsigned (*)()>(table[GetNDArrayCVersion])();
    if (abi > kAbiVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kAbiVersion, abi);
        return nullptr;
    }
    auto feature = reinterpret_cast<unsigned (*)()>(table[GetNDArrayCFeatureVersion])();
    if (feature < kFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the "
                     "running NumPy has C-API version 0x%x",
                     kFeatureVersion, feature);
        return nullptr;
    }
    if (reinterpret_cast<int (*)()>(table[GetEndianness])() != kCpuLittle) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at "
                        "runtime");
        return nullptr;
    }
    return table;
}

// Replaces the exception being raised by the internal error that describes it.
void raise_access_failure() {
    std::string detail = "unknown error";
    Ref exc = Ref::steal(take_raised());
    if (exc) {
        Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exc.get())));
        Ref text = Ref::steal(PyObject_Str(exc.get()));
        const char* tn = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
        const char* tx = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        detail = std::string(tn ? tn : "exception") + ": " + (tx ? tx : "");
    }
    raise_internal("Failed to access NumPy array API capsule: " + detail);
}

OnceSlot<Api> g_api;

} // namespace

const Api* api() {
    return g_api.get(
        []() -> Api* {
            void** table = fetch_table();
            if (table == nullptr) {
                raise_access_failure();
                return nullptr;
            }
            // Kept for the process, like the table it points into.
            Api* a = new (std::nothrow) Api{
                static_cast<PyTypeObject*>(table[Type]),
                reinterpret_cast<PyObject* (*)(int)>(table[DescrFromType]),
                reinterpret_cast<PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                               const Py_ssize_t*, void*, int, PyObject*)>(
                    table[NewFromDescr]),
                reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[EquivTypes]),
                reinterpret_cast<int (*)(PyObject*, PyObject*)>(table[SetBaseObject]),
            };
            if (a == nullptr) PyErr_NoMemory();
            return a;
        },
        [](Api* a) { delete a; });
}

} // namespace linora::py::np
