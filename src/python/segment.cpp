#include "segment.hpp"

#include "handle.hpp"
#include "once.hpp"

#include "float_env.hpp"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

namespace linora::py {

namespace {

struct SegmentObject {
    PyObject_HEAD Segment s;
};

Segment& record(PyObject* self) {
    return reinterpret_cast<SegmentObject*>(self)->s;
}

// The seven record fields, as read-only members: each read makes a new float.
#define LINORA_SEGMENT_MEMBER(field)                                                               \
    PyMemberDef {                                                                                  \
#field, Py_T_DOUBLE, offsetof(SegmentObject, s) + offsetof(Segment, field), Py_READONLY,   \
            nullptr                                                                                \
    }

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_DOUBLE T_DOUBLE
#define Py_READONLY READONLY
#endif

PyMemberDef members[] = {
    LINORA_SEGMENT_MEMBER(x1),      LINORA_SEGMENT_MEMBER(y1),    LINORA_SEGMENT_MEMBER(x2),
    LINORA_SEGMENT_MEMBER(y2),      LINORA_SEGMENT_MEMBER(width), LINORA_SEGMENT_MEMBER(precision),
    LINORA_SEGMENT_MEMBER(log_nfa), {nullptr, 0, 0, 0, nullptr},
};

// Direction in degrees in (-90, 90]: atan2 in degrees, folded so that a
// segment and its reverse have the same angle.
PyObject* get_angle(PyObject* self, void*) {
    const Segment& s = record(self);
    double a;
    {
        const DefaultFloatEnv float_env;
        a = std::atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232;
        if (a > 90) a -= 180;
        if (a <= -90) a += 180;
    }
    return PyFloat_FromDouble(a);
}

PyObject* get_length(PyObject* self, void*) {
    const Segment& s = record(self);
    double length;
    {
        const DefaultFloatEnv float_env;
        length = std::hypot(s.x2 - s.x1, s.y2 - s.y1);
    }
    return PyFloat_FromDouble(length);
}

PyGetSetDef getset[] = {
    {"angle", get_angle, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", get_length, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Fixed point with one decimal, correctly rounded from the exact value (the
// C library's %.1f); "NaN", "inf" and "-inf" for the non-finite values.
void append_number(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "inf" : "-inf";
    } else {
        char buf[400]; // the largest double has 309 integer digits
        // The C library rounds in the thread's rounding mode.
        const DefaultFloatEnv float_env;
        std::snprintf(buf, sizeof buf, "%.1f", v);
        out += buf;
    }
}

PyObject* segment_repr(PyObject* self) {
    const Segment& s = record(self);
    std::string text = "Segment((";
    append_number(text, s.x1);
    text += ", ";
    append_number(text, s.y1);
    text += ")-(";
    append_number(text, s.x2);
    text += ", ";
    append_number(text, s.y2);
    text += "), width=";
    append_number(text, s.width);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Instances hold no references: free the memory and release the reference
// that every instance of a heap type holds on its type.
void segment_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(segment_dealloc)},
    {0, nullptr},
};

// Not instantiable from Python, not subclassable, no __dict__, no weak
// references, not tracked by the garbage collector (it holds no references).
PyType_Spec spec = {
    "linora.Segment",
    static_cast<int>(sizeof(SegmentObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

OnceSlot<PyTypeObject> g_type;

} // namespace

PyTypeObject* segment_type() {
    return g_type.get([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); },
                      [](PyTypeObject* t) { Py_DECREF(reinterpret_cast<PyObject*>(t)); });
}

PyObject* segments_to_list(const std::vector<Segment>& segments) {
    PyTypeObject* type = segment_type();
    if (type == nullptr) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(segments.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) return nullptr;
        record(obj) = segments[i];
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
    }
    return list.release();
}

} // namespace linora::py
