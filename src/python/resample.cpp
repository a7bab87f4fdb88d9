// warp_rgb(src, inverse, scale, off_x, off_y, filter="bilinear", out_size=None)
// remap_rgb(src, map_x, map_y, filter="bilinear")
// remap_gray(src, map_x, map_y, filter="bilinear")
#include "functions.hpp"

#include "args.hpp"
#include "arrays.hpp"
#include "detached.hpp"
#include "errors.hpp"
#include "handle.hpp"

#include "warp/resample.hpp"

#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace linora::py {

namespace {

// Appends code point c to a quoted literal: quote and backslash escaped,
// newline and tab as \n and \t, other control characters as \u{hex}.
void append_escaped(std::u32string& out, Py_UCS4 c) {
    auto ascii = [&](const char* s) {
        while (*s)
            out += static_cast<char32_t>(*s++);
    };
    if (c == '"' || c == '\\') {
        out += U'\\';
        out += static_cast<char32_t>(c);
    } else if (c == '\n') {
        ascii("\\n");
    } else if (c == '\t') {
        ascii("\\t");
    } else if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
        ascii(buf);
    } else {
        out += static_cast<char32_t>(c);
    }
}

// The filter argument: "bilinear" when absent, else a str naming exactly
// one of LINORA_FILTERS; otherwise TypeError, or ValueError naming the
// filter as a quoted literal.
std::optional<Filter> filter_arg(PyObject* obj) {
    if (obj == nullptr) return Filter::Bilinear;
    PyObject* name = to_str(obj, "filter");
    if (name == nullptr) return std::nullopt;
    if (std::optional<Filter> filter = filter_named(name)) return filter;
    std::u32string text = U"unknown filter \"";
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < n; ++i)
        append_escaped(text, PyUnicode_READ_CHAR(name, i));
    text += U"\", expected " + filter_choices();
    Ref message = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                                       static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return std::nullopt;
}

// TypeError "<function> expects a <shape> array of <the sample types><tail>".
PyObject* raise_src_type(const char* function, const char* shape, const std::string& tail = "") {
    return raise_sample_types(std::string(function) + " expects a " + shape + " array of ",
                              {LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_SAMPLE_NAME)}, tail);
}

// f.template operator()<T>() for the sample type T of the resampling that
// `src` holds (an ndim-dimensional array with `last` elements on its last
// axis, or any number when 0); nothing when it holds none of them.
template <class F>
std::optional<PyObject*> with_sample_type(const np::Api& api, PyObject* src, int ndim,
                                          Py_ssize_t last, F&& f) {
#define LINORA_CASE(T)                                                                             \
    if (matches(api, src, ndim, NumpyType<T>::value, last)) return f.template operator()<T>();
    LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_CASE)
#undef LINORA_CASE
    return std::nullopt;
}

// ---------------------------------------------------------------- warp_rgb

constexpr const char* kWarpNames[] = {"src",   "inverse", "scale",   "off_x",
                                      "off_y", "filter",  "out_size"};
constexpr Signature kWarpSignature{"warp_rgb", kWarpNames, 7, 5};

struct WarpArgs {
    std::array<double, 9> inverse;
    double scale, off_x, off_y;
    Filter filter;
    std::optional<std::array<std::uint64_t, 2>> out_size;
};

template <class T> PyObject* run_warp(const np::Api& api, PyObject* src, const WarpArgs& a) {
    const std::size_t h = dim(src, 0), w = dim(src, 1);
    const std::uint64_t out_w = a.out_size ? (*a.out_size)[0] : w;
    const std::uint64_t out_h = a.out_size ? (*a.out_size)[1] : h;
    const Py_ssize_t dims[3] = {static_cast<Py_ssize_t>(out_h), static_cast<Py_ssize_t>(out_w), 3};
    return call_core(
        [&](std::span<const T> samples) {
            // NumPy shapes are signed: a size beyond that range cannot be an array
            // (checked once the source is read, whose failure is reported first).
            if (out_w > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) ||
                out_h > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
                throw OutputTooLarge("cannot allocate an output of " + std::to_string(out_w) +
                                     " x " + std::to_string(out_h) + " x 3 samples");
            return linora::warp_rgb<T>(samples, w, h, out_w, out_h, a.inverse, a.filter, a.scale,
                                       a.off_x, a.off_y);
        },
        [&](Buffer<T>&& out) { return wrap_buffer(api, std::move(out), 3, dims); }, Input<T>{src});
}

PyObject* warp_rgb_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slot[7];
    if (!bind(kWarpSignature, args, nargs, kwnames, slot)) return nullptr;
    WarpArgs a{};
    auto inverse = to_matrix(slot[1], "inverse");
    if (!inverse) return nullptr;
    a.inverse = *inverse;
    auto scale = to_double(slot[2], "scale");
    if (!scale) return nullptr;
    auto off_x = to_double(slot[3], "off_x");
    if (!off_x) return nullptr;
    auto off_y = to_double(slot[4], "off_y");
    if (!off_y) return nullptr;
    a.scale = *scale;
    a.off_x = *off_x;
    a.off_y = *off_y;
    // The filter's type is checked before out_size is converted, its name after.
    if (slot[5] != nullptr && to_str(slot[5], "filter") == nullptr) return nullptr;
    if (!to_size_pair(slot[6], "out_size", a.out_size)) return nullptr;
    std::optional<Filter> filter = filter_arg(slot[5]);
    if (!filter) return nullptr;
    a.filter = *filter;

    const np::Api* api = np::api();
    if (api == nullptr) return nullptr;
    PyObject* src = slot[0];
    if (auto r =
            with_sample_type(*api, src, 3, 3, [&]<class T>() { return run_warp<T>(*api, src, a); }))
        return *r;
    return raise_src_type("warp_rgb", "(height, width, 3)");
}

// ------------------------------------------------------- remap_rgb / remap_gray

constexpr const char* kRemapNames[] = {"src", "map_x", "map_y", "filter"};

template <class T, std::size_t C>
PyObject* run_remap(const np::Api& api, PyObject* src, PyObject* map_x, PyObject* map_y,
                    Filter filter) {
    const std::size_t h = dim(src, 0), w = dim(src, 1);
    const std::size_t out_h = dim(map_x, 0), out_w = dim(map_x, 1);
    const Py_ssize_t dims[3] = {static_cast<Py_ssize_t>(out_h), static_cast<Py_ssize_t>(out_w),
                                static_cast<Py_ssize_t>(C)};
    return call_core(
        [&](std::span<const T> samples, std::span<const float> mx, std::span<const float> my) {
            return linora::remap<T, C>(samples, w, h, mx, my, out_w, out_h, filter);
        },
        [&](Buffer<T>&& out) { return wrap_buffer(api, std::move(out), C == 3 ? 3 : 2, dims); },
        Input<T>{src}, Input<float>{map_x}, Input<float>{map_y});
}

template <std::size_t C>
PyObject* remap_impl(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const Signature sig{function, kRemapNames, 4, 3};
    PyObject* slot[4];
    if (!bind(sig, args, nargs, kwnames, slot)) return nullptr;
    const np::Api* api = np::api();
    if (api == nullptr) return nullptr;
    for (int i : {1, 2}) {
        if (!matches(*api, slot[i], 2, np::Float)) {
            raise_type_mismatch(slot[i], "ndarray");
            add_processing_note(kRemapNames[i]);
            return nullptr;
        }
    }
    std::optional<Filter> filter = filter_arg(slot[3]);
    if (!filter) return nullptr;

    PyObject* src = slot[0];
    auto r =
        with_sample_type(*api, src, C == 3 ? 3 : 2, C == 3 ? 3 : 0, [&]<class T>() -> PyObject* {
            if (dim(slot[1], 0) != dim(slot[2], 0) || dim(slot[1], 1) != dim(slot[2], 1)) {
                PyErr_SetString(PyExc_ValueError, "map_x and map_y must have the same shape");
                return nullptr;
            }
            return run_remap<T, C>(*api, src, slot[1], slot[2], *filter);
        });
    if (r) return *r;
    return raise_src_type(function, C == 3 ? "(height, width, 3)" : "(height, width)",
                          std::string(" and ") + SampleName<float>::value + " maps");
}

} // namespace

PyObject* warp_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return warp_rgb_impl(args, nargs, kwnames); });
}

PyObject* remap_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return remap_impl<3>("remap_rgb", args, nargs, kwnames); });
}

PyObject* remap_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return remap_impl<1>("remap_gray", args, nargs, kwnames); });
}

} // namespace linora::py
