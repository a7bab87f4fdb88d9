// Resampling rows several pixels at a time: eight with AVX-512, four with
// AVX2, whichever the running CPU has. Each lane performs exactly the
// operations of the scalar samplers in samplers.hpp, in the same order (no
// fused multiply-add), so the output has the same bits; the lanes only differ
// in how the samples are fetched and how the results are stored.
#pragma once

#include "warp/resample.hpp"
#include "warp/samplers.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace linora::detail {

// True when the CPU runs AVX2 (or more) and the vector rows may be used.
bool have_vector_rows() noexcept;

// Caps the instruction set the vector rows use: 0 none (have_vector_rows()
// turns false), 1 AVX2, 2 AVX-512 (the default: the best the CPU has). For
// tests, which show that every width gives the same bits; not thread-safe
// against running operations.
void limit_vector_rows(int level) noexcept;

// The source raster of one operation. The vector rows address samples with
// 32-bit offsets, so they serve only rasters of fewer than 2^31 - 64 samples
// (`vector_rows_fit`); larger ones take the scalar samplers.
template <class T> struct SourceView {
    const T* data;
    std::size_t w, h;
    const LanczosTable* table; // Lanczos3 only
    const double* weights;     // Lanczos3 only: the table's first entry
};
bool vector_rows_fit(std::size_t samples) noexcept;

// Remap: output pixels [0, n) of a row, from map entries mx[0..n), my[0..n).
// Returns how many leading pixels it computed (a multiple of the lane count);
// the caller computes the rest with the scalar samplers.
template <class T, std::size_t C, Filter F>
std::size_t remap_span(const SourceView<T>& src, const float* mx, const float* my, std::size_t n,
                       T* out) noexcept;

// The per-row constants of the perspective warp (see warp.cpp).
struct WarpRowTerms {
    double scale, off_x;
    double h0, h3, h6;
    double bx, by, bw;
    // 1 / scale when x / scale == x * (1 / scale) exactly for every column
    // x, else 0 (see exact_reciprocal).
    double inv_scale;
};

// 1 / s when s is a power of two, positive or negative, between 2^-500 and
// 2^500: then 1 / s is exact and, for the integer columns x below 2^53, both
// x / s and x * (1 / s) are exact scalings by a power of two within the
// normal range, hence equal. Otherwise 0.
double exact_reciprocal(double s) noexcept;

// Warp: output pixels [0, n) of a row of 3-channel pixels. Returns how many
// leading pixels it computed, as remap_span.
template <class T, Filter F>
std::size_t warp_span(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                      T* out) noexcept;

} // namespace linora::detail
