// Resampling rows, one instance per instruction set (LINORA_ISAS in
// simd.hpp): the scalar one computes every pixel with the scalar kernel; the
// vector ones several pixels at a time, eight with AVX-512, four with AVX2
// (vector_kernels.inc). Each lane performs exactly the operations of the
// scalar samplers in samplers.hpp, in the same order (no fused multiply-add),
// so the output has the same bits; the lanes only differ in how the samples
// are fetched and how the results are stored.
#pragma once

#include "warp/kernels.hpp"

#include <cstddef>

namespace linora::detail {

// The per-row constants of the perspective warp (see warp.cpp), and the
// products of the plane coordinate u[x] = x / scale + off_x of every output
// column with the row-independent terms of the inverse homography, u[x] * h0,
// u[x] * h3 and u[x] * h6, which the operation computes once for all rows.
struct WarpRowTerms {
    const double *uh0, *uh3, *uh6;
    double bx, by, bw;
};

// A row computes the leading output pixels of a row of n pixels and returns
// how many it computed (all for the scalar rows, a multiple of the lane count
// for vector rows); the caller computes the rest with the scalar kernel.
// Lanes a vector row cannot read safely (near the end of the source) it hands
// to src.pixel. Remap: positions from map entries mx[0..n), my[0..n); warp:
// from the row's terms, 3 channels.
template <class T>
using RemapSpan = std::size_t (*)(const SourceView<T>& src, const float* mx, const float* my,
                                  std::size_t n, T* out);
template <class T>
using WarpSpan = std::size_t (*)(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                                 T* out);

// The rows of one instruction set for samples of type T, by kernel
// (kernel_index) and channel count (channel_index).
template <class T> struct VectorRows {
    RemapSpan<T> remap[kKernelCount][2];
    WarpSpan<T> warp[kKernelCount];
};

// The table of an instruction set's rows Rows::remap<K, T, C> and
// Rows::warp<K, T>, for every kernel.
template <class Rows, class T> constexpr VectorRows<T> rows_of() {
    VectorRows<T> rows{};
    for (std::size_t k = 0; k < kKernelCount; ++k)
        with_kernel(static_cast<Filter>(k), [&]<class K>() {
            rows.remap[k][channel_index<1>] = &Rows::template remap<K, T, 1>;
            rows.remap[k][channel_index<3>] = &Rows::template remap<K, T, 3>;
            rows.warp[k] = &Rows::template warp<K, T>;
        });
    return rows;
}

// Those of linora::active_isa() for a source of `samples` samples; the scalar
// rows for an empty source, and for one of 2^31 - 64 samples or more (the
// vector rows address samples with 32-bit offsets).
template <class T> const VectorRows<T>& vector_rows(std::size_t samples) noexcept;

} // namespace linora::detail
