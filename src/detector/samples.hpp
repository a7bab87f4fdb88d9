// How one input sample becomes the detector's 64-bit working value, and the
// vector loops the detector's per-pixel passes are built from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linora::detector {

// 16-bit samples are brought to the 0..255 range of 8-bit ones.
inline double working_value(double v) {
    return v;
}
inline double working_value(float v) {
    return static_cast<double>(v);
}
inline double working_value(std::uint8_t v) {
    return static_cast<double>(v);
}
inline double working_value(std::uint16_t v) {
    return static_cast<double>(v) / 257.0;
}

// acc[i] = acc[i] + g * src[i] for i in [0, n): one rounded product and one
// rounded sum per element, element by element, so it gives the bits of the
// scalar loop however many elements the CPU handles at once.
void accumulate_scaled(double* acc, const double* src, double g, std::size_t n);

// out[i] = working_value(in[i]) for i in [0, n).
template <class T> void to_working(const T* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = working_value(in[i]);
}

} // namespace linora::detector
