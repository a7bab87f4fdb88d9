// detect(gray, scale=0.8)
#include "functions.hpp"

#include "args.hpp"
#include "arrays.hpp"
#include "detached.hpp"
#include "errors.hpp"
#include "segment.hpp"

#include "detector/detect.hpp"
#include "detector/samples.hpp"

#include <optional>
#include <span>

namespace linora::py {

namespace {

constexpr const char* kNames[] = {"gray", "scale"};
constexpr Signature kSignature{"detect", kNames, 2, 1};

// Reads the samples of `gray` (elements of type T) and runs the detector on
// them with the thread detached.
template <class T> PyObject* run(PyObject* gray, double scale) {
    const std::size_t height = dim(gray, 0), width = dim(gray, 1);
    return call_core(
        [&](std::span<const T> samples) {
            return linora::detect<T>(samples, width, height, scale);
        },
        segments_to_list, Input<T>{gray});
}

PyObject* detect_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slot[2];
    if (!bind(kSignature, args, nargs, kwnames, slot)) return nullptr;
    double scale = 0.8;
    if (slot[1] != nullptr) {
        std::optional<double> v = to_double(slot[1], "scale");
        if (!v) return nullptr;
        scale = *v;
    }
    const np::Api* api = np::api();
    if (api == nullptr) return nullptr;
    PyObject* gray = slot[0];
#define LINORA_CASE(T)                                                                             \
    if (matches(*api, gray, 2, NumpyType<T>::value)) return run<T>(gray, scale);
    LINORA_DETECTOR_SAMPLE_TYPES(LINORA_CASE)
#undef LINORA_CASE
    return raise_sample_types("detect expects a (height, width) array of ",
                              {LINORA_DETECTOR_SAMPLE_TYPES(LINORA_SAMPLE_NAME)});
}

} // namespace

PyObject* detect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return detect_impl(args, nargs, kwnames); });
}

} // namespace linora::py
