// The name of each sample type of the library, as NumPy names its dtype: the
// one place they are spelt. The type lists (LINORA_DETECTOR_SAMPLE_TYPES,
// LINORA_RESAMPLE_SAMPLE_TYPES) say which types a computation takes; the
// binding's messages name them from here.
#pragma once

#include <cstdint>

namespace linora {

template <class T> struct SampleName;
template <> struct SampleName<std::uint8_t> { static constexpr const char* value = "uint8"; };
template <> struct SampleName<std::uint16_t> { static constexpr const char* value = "uint16"; };
template <> struct SampleName<float> { static constexpr const char* value = "float32"; };
template <> struct SampleName<double> { static constexpr const char* value = "float64"; };

} // namespace linora
