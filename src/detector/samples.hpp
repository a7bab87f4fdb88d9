// The sample types the detector takes, how one sample becomes the
// detector's 64-bit working value, and the conversion of runs of samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linora::detector {

// The sample types, as one list: X(type) for each, in the order messages
// name them. Everything instantiated per sample type expands this list, so a
// new type needs a line here, a WorkingValue specialisation and a SampleName
// (sample_names.hpp).
#define LINORA_DETECTOR_SAMPLE_TYPES(X) X(std::uint8_t) X(std::uint16_t) X(float) X(double)

// WorkingValue<T>::of(v): the sample on the scale of 8-bit samples. 16-bit
// samples are divided by 257, so that v * 257 gives the same segments as the
// 8-bit value v; the others are taken as they are.
template <class T> struct WorkingValue;
template <> struct WorkingValue<double> {
    static double of(double v) { return v; }
};
template <> struct WorkingValue<float> {
    static double of(float v) { return static_cast<double>(v); }
};
template <> struct WorkingValue<std::uint8_t> {
    static double of(std::uint8_t v) { return static_cast<double>(v); }
};
template <> struct WorkingValue<std::uint16_t> {
    static double of(std::uint16_t v) { return static_cast<double>(v) / 257.0; }
};

template <class T> double working_value(T v) {
    return WorkingValue<T>::of(v);
}

// out[i] = working_value(in[i]) for i in [0, n).
template <class T> void to_working(const T* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = working_value(in[i]);
}

} // namespace linora::detector
