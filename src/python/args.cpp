#include "args.hpp"

#include "errors.hpp"
#include "handle.hpp"

#include <iterator>
#include <string>

namespace linora::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::string* names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

} // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < sig.count; ++i)
        slots[i] = i < given ? args[i] : nullptr;

    // Keywords first, in the order given, as the interpreter does for its own
    // functions.
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < sig.count && PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0)
            ++i;
        if (i == sig.count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.function, sig.names[i]);
            return false;
        }
        slots[i] = args[nargs + k];
    }

    if (given > sig.count) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zu %s given",
                     sig.function, sig.required, sig.count, given, given == 1 ? "was" : "were");
        return false;
    }

    std::string missing[8];
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing[n_missing++] = sig.names[i];
    if (n_missing > 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.function,
                     n_missing, n_missing == 1 ? "argument" : "arguments",
                     quoted_list(missing, n_missing).c_str());
        return false;
    }
    return true;
}

namespace {
// float(obj) for a non-float; exceptions left set.
std::optional<double> as_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
    return v;
}
} // namespace

std::optional<double> to_double(PyObject* obj, const char* name) {
    std::optional<double> v = as_double(obj);
    if (!v) add_processing_note(name);
    return v;
}

std::optional<std::array<double, 9>> to_matrix(PyObject* obj, const char* name) {
    if (!PySequence_Check(obj)) {
        raise_type_mismatch(obj, "Sequence");
        add_processing_note(name);
        return std::nullopt;
    }
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        add_processing_note(name);
        return std::nullopt;
    }
    if (n != 9) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 9 (got %zd)", n);
        add_processing_note(name);
        return std::nullopt;
    }
    std::array<double, 9> m{};
    for (Py_ssize_t i = 0; i < 9; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        std::optional<double> v = item ? as_double(item.get()) : std::nullopt;
        if (!v) {
            add_processing_note(name);
            return std::nullopt;
        }
        m[static_cast<std::size_t>(i)] = *v;
    }
    return m;
}

bool to_size_pair(PyObject* obj, const char* name,
                  std::optional<std::array<std::uint64_t, 2>>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    auto fail = [&] {
        add_processing_note(name);
        return false;
    };
    if (!PyTuple_Check(obj)) {
        raise_type_mismatch(obj, "tuple");
        return fail();
    }
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     n);
        return fail();
    }
    std::array<std::uint64_t, 2> size{};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(obj, i);
        Ref index = PyLong_Check(item) ? Ref::borrow(item) : Ref::steal(PyNumber_Index(item));
        if (!index) return fail();
        unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail();
        size[static_cast<std::size_t>(i)] = v;
    }
    out = size;
    return true;
}

PyObject* to_str(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return obj;
    raise_type_mismatch(obj, "str");
    add_processing_note(name);
    return nullptr;
}

std::optional<Filter> filter_named(PyObject* name) {
    for (std::size_t i = 0; i < std::size(filter_names); ++i)
        if (PyUnicode_CompareWithASCIIString(name, filter_names[i]) == 0)
            return static_cast<Filter>(i);
    return std::nullopt;
}

std::u32string filter_choices() {
    std::u32string out;
    for (std::size_t i = 0; i < std::size(filter_names); ++i) {
        if (i > 0) out += i + 1 == std::size(filter_names) ? U" or " : U", ";
        out += U'"';
        for (const char* c = filter_names[i]; *c; ++c)
            out += static_cast<char32_t>(*c);
        out += U'"';
    }
    return out;
}

} // namespace linora::py
