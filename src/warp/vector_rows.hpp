// Resampling rows several pixels at a time: eight with AVX-512, four with
// AVX2, whichever the running CPU has (x86-64 builds; elsewhere the scalar
// kernels do every pixel). Each lane performs exactly the operations of the
// scalar samplers in samplers.hpp, in the same order (no fused multiply-add),
// so the output has the same bits; the lanes only differ in how the samples
// are fetched and how the results are stored.
#pragma once

#include "warp/kernels.hpp"

#include <cstddef>

namespace linora::detail {

// The vector rows address samples with 32-bit offsets, so they serve only
// rasters of fewer than 2^31 - 64 samples; larger ones take the scalar
// kernels.
bool vector_rows_fit(std::size_t samples) noexcept;

// The per-row constants of the perspective warp (see warp.cpp), and the
// plane coordinate u[x] = x / scale + off_x of every output column, which
// the operation computes once for all rows.
struct WarpRowTerms {
    const double* u;
    double h0, h3, h6;
    double bx, by, bw;
};

// A vector row computes the leading output pixels of a row of n pixels and
// returns how many it computed (a multiple of its lane count); the caller
// computes the rest with the scalar kernel. Lanes it cannot read safely (near
// the end of the source) it hands to src.pixel. Remap: positions from map
// entries mx[0..n), my[0..n); warp: from the row's terms, 3 channels.
template <class T>
using RemapSpan = std::size_t (*)(const SourceView<T>& src, const float* mx, const float* my,
                                  std::size_t n, T* out) noexcept;
template <class T>
using WarpSpan = std::size_t (*)(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                                 T* out) noexcept;

// The vector rows of one instruction set for samples of type T, by kernel
// (kernel_index) and channel count (channel_index); null for a kernel
// without vector rows.
template <class T> struct VectorRows {
    RemapSpan<T> remap[kKernelCount][2];
    WarpSpan<T> warp[kKernelCount];
};

// Those of linora::active_isa() for a source of `samples` samples, or null
// when the scalar kernels are to do every pixel (no vector instruction set,
// an empty or too large source).
template <class T> const VectorRows<T>* vector_rows(std::size_t samples) noexcept;

} // namespace linora::detail
