// Argument binding and conversion shared by the module's functions.
#pragma once

#include <Python.h>

#include "warp/resample.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace linora::py {

// A function's parameters: all positional-or-keyword, the first `required`
// of them without a default.
struct Signature {
    const char* function; // the name, as shown in messages ("detect")
    const char* const* names;
    std::size_t count;
    std::size_t required;
};

// Binds vectorcall arguments to the parameters: slots[i] receives a borrowed
// reference to the value of parameter i, or nullptr when it was not given.
// On a binding mistake sets TypeError with the interpreter's usual wording
// (missing, unexpected keyword, multiple values, too many positional) and
// returns false.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots);

// Converts a float parameter: an exact float is read directly, anything
// else goes through float(). On failure adds the note for `name` and
// returns nullopt.
std::optional<double> to_double(PyObject* obj, const char* name);

// Converts a sequence of exactly nine numbers (the `inverse` homography).
std::optional<std::array<double, 9>> to_matrix(PyObject* obj, const char* name);

// Converts None (no size) or a 2-tuple of unsigned 64-bit integers.
// Returns false on failure (exception set, with the note for `name`).
bool to_size_pair(PyObject* obj, const char* name,
                  std::optional<std::array<std::uint64_t, 2>>& out);

// Checks that a filter argument is a str; returns it borrowed, or nullptr
// with TypeError (and the note for `name`) set.
PyObject* to_str(PyObject* obj, const char* name);

// The filter of LINORA_FILTERS named exactly `name` (a str), or nullopt
// without an exception; and the filters' names as a message lists them, each
// quoted, the last after "or".
std::optional<Filter> filter_named(PyObject* name);
std::u32string filter_choices();

} // namespace linora::py
