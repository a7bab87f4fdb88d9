// The sample types the detector takes, how one sample becomes the
// detector's 64-bit working value, and the conversion of runs of samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linora::detector {

// The sample types, as one list: X(type) for each. Everything instantiated
// per sample type expands this list, so a new type needs a line here and a
// SampleTraits specialisation.
#define LINORA_DETECTOR_SAMPLE_TYPES(X) X(double) X(float) X(std::uint8_t) X(std::uint16_t)

// working_value(v): the sample on the scale of 8-bit samples. 16-bit samples
// are divided by 257, so that v * 257 gives the same segments as the 8-bit
// value v; the others are taken as they are.
template <class T> struct SampleTraits;
template <> struct SampleTraits<double> {
    static double working_value(double v) { return v; }
};
template <> struct SampleTraits<float> {
    static double working_value(float v) { return static_cast<double>(v); }
};
template <> struct SampleTraits<std::uint8_t> {
    static double working_value(std::uint8_t v) { return static_cast<double>(v); }
};
template <> struct SampleTraits<std::uint16_t> {
    static double working_value(std::uint16_t v) { return static_cast<double>(v) / 257.0; }
};

template <class T> double working_value(T v) {
    return SampleTraits<T>::working_value(v);
}

// out[i] = working_value(in[i]) for i in [0, n).
template <class T> void to_working(const T* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = working_value(in[i]);
}

} // namespace linora::detector
