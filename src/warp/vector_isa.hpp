// The instruction-set specific entry points behind vector_rows.hpp, and the
// scalar sampling they fall back on for single pixels.
#pragma once

#include "warp/vector_rows.hpp"

#include <cstddef>

namespace linora::detail {

// One pixel by the scalar sampler of filter F (defined in vector_rows.cpp,
// compiled for any CPU).
template <class T, std::size_t C, Filter F>
void scalar_pixel(const SourceView<T>& src, double x, double y, T* out) noexcept;

template <class T, std::size_t C, Filter F>
std::size_t remap_span_avx2(const SourceView<T>& src, const float* mx, const float* my,
                            std::size_t n, T* out) noexcept;
template <class T, Filter F>
std::size_t warp_span_avx2(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                           T* out) noexcept;
template <class T, std::size_t C, Filter F>
std::size_t remap_span_avx512(const SourceView<T>& src, const float* mx, const float* my,
                              std::size_t n, T* out) noexcept;
template <class T, Filter F>
std::size_t warp_span_avx512(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                             T* out) noexcept;

} // namespace linora::detail
