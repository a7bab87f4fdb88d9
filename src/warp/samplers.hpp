// Point samplers: read an interleaved raster at a fractional position and
// produce one output pixel, with a bilinear (2 x 2) or a Lanczos-3 (6 x 6)
// kernel. One generic implementation, instantiated for each sample type
// (LINORA_RESAMPLE_SAMPLE_TYPES) and channel count (1, 3).
//
// Pixel centres lie at integer coordinates, so a raster of width w covers
// -0.5 to w - 0.5 in x (inclusive), and likewise in y. A position outside
// that rectangle, or with a NaN coordinate (how callers mark invalid map
// entries), writes nothing; a position inside writes all C samples.
// Borders replicate the edge pixels.
#pragma once

#include "core_errors.hpp"
#include "saturating.hpp"
#include "warp/resample.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

namespace linora {

// One row of Lanczos weights: the six taps at floor - 2 ... floor + 3.
using LanczosRow = std::array<double, 6>;

// Lanczos weights for the fractional offsets k / 1024, k = 0 ... 1024.
inline constexpr std::size_t lanczos_phases = 1024;
using LanczosTable = std::array<LanczosRow, lanczos_phases + 1>;

// Builds the normalised Lanczos-3 weight table (each row sums to 1).
std::unique_ptr<const LanczosTable> lanczos3_table();

namespace detail {

// The position test shared by both samplers: inside only when all four
// ordered comparisons hold, so infinities and NaN coordinates are outside.
inline bool outside(double x, double y, std::size_t w, std::size_t h) noexcept {
    return !(x >= -0.5 && x <= static_cast<double>(w) - 0.5 && y >= -0.5 &&
             y <= static_cast<double>(h) - 0.5);
}

// A position passed the range test on a raster without pixels (only -0.5
// along the empty dimension does): there is no index to clamp to.
[[noreturn, gnu::cold]] inline void throw_empty_clamp_range() {
    throw InternalError("cannot clamp an index to the empty range 0..=-1");
}

// Clamps i + d into [0, n - 1] (n >= 1). The sum saturates instead of
// overflowing, which leaves the clamped result unchanged for any raster that
// fits in memory.
inline std::size_t clamp_offset(std::int64_t i, std::int64_t d, std::size_t n) noexcept {
    std::int64_t s;
    if (__builtin_add_overflow(i, d, &s))
        s = d < 0 ? std::numeric_limits<std::int64_t>::min()
                  : std::numeric_limits<std::int64_t>::max();
    if (s < 0) return 0;
    return static_cast<std::uint64_t>(s) >= n ? n - 1 : static_cast<std::size_t>(s);
}

// Rounds to the nearest integer with halves going up, clipping to the range of
// T: v + 0.5 truncated (saturating, NaN -> 0), then limited to T's maximum.
template <class T> inline T quantise(double v) noexcept {
    const std::uint32_t r = saturating_trunc<std::uint32_t>(v + 0.5);
    return static_cast<T>(std::min<std::uint32_t>(r, SampleRange<T>::max));
}

// The 36 products wy[i] * wx[j] of the Lanczos weights of one position.
struct LanczosWeights {
    double w[6][6];
};

inline LanczosWeights lanczos_weights(const LanczosTable& table, double x, double y,
                                      std::int64_t& ix, std::int64_t& iy) noexcept {
    // Phase indices: the fraction is in [0, 1] (1 only by rounding of a tiny
    // negative x), so the index is 0 ... 1024; NaN gives 0.
    const std::size_t kx = saturating_trunc<std::size_t>(std::round((x - std::floor(x)) * 1024.0));
    const std::size_t ky = saturating_trunc<std::size_t>(std::round((y - std::floor(y)) * 1024.0));
    ix = saturating_floor<std::int64_t>(x);
    iy = saturating_floor<std::int64_t>(y);
    const LanczosRow& wx = table[kx];
    const LanczosRow& wy = table[ky];
    LanczosWeights lw;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            lw.w[i][j] = wy[i] * wx[j];
    return lw;
}

// The clamped Lanczos sum: every tap index clamped to the raster by itself.
template <class T, std::size_t C>
inline void lanczos_clamped(const T* src, std::size_t w, std::size_t h, const LanczosWeights& lw,
                            std::int64_t ix, std::int64_t iy, double (&sum)[C]) noexcept {
    std::size_t col[6];
    const T* row[6];
    for (int j = 0; j < 6; ++j)
        col[j] = clamp_offset(ix, j - 2, w) * C;
    for (int i = 0; i < 6; ++i)
        row[i] = src + clamp_offset(iy, i - 2, h) * w * C;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            const T* p = row[i] + col[j];
            for (std::size_t c = 0; c < C; ++c)
                sum[c] = sum[c] + lw.w[i][j] * static_cast<double>(p[c]);
        }
}

// The interior Lanczos sum: the 6 x 6 block lies inside the raster and is read
// directly. Same products, same order as lanczos_clamped.
template <class T, std::size_t C>
inline void lanczos_interior(const T* src, std::size_t w, const LanczosWeights& lw, std::int64_t ix,
                             std::int64_t iy, double (&sum)[C]) noexcept {
    const std::size_t stride = w * C;
    const T* block =
        src + (static_cast<std::size_t>(iy) - 2) * stride + (static_cast<std::size_t>(ix) - 2) * C;
    for (int i = 0; i < 6; ++i) {
        const T* p = block + i * stride;
        for (int j = 0; j < 6; ++j)
            for (std::size_t c = 0; c < C; ++c)
                sum[c] = sum[c] + lw.w[i][j] * static_cast<double>(p[j * C + c]);
    }
}

// True when all 36 taps around floor position (ix, iy) are inside the raster:
// ix >= 2, iy >= 2, ix + 3 <= w - 1 and iy + 3 <= h - 1.
inline bool lanczos_interior_ok(std::int64_t ix, std::int64_t iy, std::size_t w,
                                std::size_t h) noexcept {
    return ix >= 2 && iy >= 2 && static_cast<std::uint64_t>(ix) + 4 <= w &&
           static_cast<std::uint64_t>(iy) + 4 <= h;
}

template <class T, std::size_t C>
inline void lanczos_store(const double (&sum)[C], std::span<T, C> out) noexcept {
    for (std::size_t c = 0; c < C; ++c)
        out[c] = quantise<T>(sum[c]);
}

} // namespace detail

// Bilinear sample of the w x h raster `src` (C interleaved channels) at (x, y),
// written to `out`; nothing is written when (x, y) is outside the raster.
// Throws InternalError when the raster is empty and the position passes the
// range test (a coordinate of exactly -0.5 or NaN along the empty dimension).
template <class T, std::size_t C>
inline void sample_bilinear(std::span<const T> src, std::size_t w, std::size_t h, double x,
                            double y, std::span<T, C> out) {
    if (detail::outside(x, y, w, h)) return;
    if (w == 0 || h == 0) [[unlikely]]
        detail::throw_empty_clamp_range();
    const double fx0 = std::floor(x);
    const double fy0 = std::floor(y);
    const std::int64_t ix = saturating_trunc<std::int64_t>(fx0);
    const std::int64_t iy = saturating_trunc<std::int64_t>(fy0);
    // Each neighbour is clamped by itself: in the half-pixel border both
    // neighbours fall on the edge pixel.
    const std::size_t x0 = detail::clamp_offset(ix, 0, w) * C;
    const std::size_t x1 = detail::clamp_offset(ix, 1, w) * C;
    const T* row0 = src.data() + detail::clamp_offset(iy, 0, h) * w * C;
    const T* row1 = src.data() + detail::clamp_offset(iy, 1, h) * w * C;
    // Fractions from the unclamped floor.
    const double fx = x - fx0;
    const double fy = y - fy0;
    const double w00 = (1.0 - fx) * (1.0 - fy);
    const double w10 = fx * (1.0 - fy);
    const double w01 = (1.0 - fx) * fy;
    const double w11 = fx * fy;
    for (std::size_t c = 0; c < C; ++c) {
        const double v =
            ((w00 * static_cast<double>(row0[x0 + c]) + w10 * static_cast<double>(row0[x1 + c])) +
             w01 * static_cast<double>(row1[x0 + c])) +
            w11 * static_cast<double>(row1[x1 + c]);
        out[c] = detail::quantise<T>(v);
    }
}

// Lanczos-3 sample of the w x h raster `src` at (x, y) with the weights of
// `table` (from lanczos3_table), written to `out`; nothing is written when
// (x, y) is outside. The 6 x 6 taps replicate the edge pixels; positions whose
// taps all lie inside are read without clamping (bit-identical result).
// Throws as sample_bilinear does. FastPath = false sends every position
// through the clamped path, which lets tests show that both give the same bits.
template <class T, std::size_t C, bool FastPath = true>
inline void sample_lanczos3(std::span<const T> src, std::size_t w, std::size_t h,
                            const LanczosTable& table, double x, double y, std::span<T, C> out) {
    if (detail::outside(x, y, w, h)) return;
    if (w == 0 || h == 0) [[unlikely]]
        detail::throw_empty_clamp_range();
    std::int64_t ix, iy;
    const detail::LanczosWeights lw = detail::lanczos_weights(table, x, y, ix, iy);
    double sum[C] = {};
    if (FastPath && detail::lanczos_interior_ok(ix, iy, w, h))
        detail::lanczos_interior<T, C>(src.data(), w, lw, ix, iy, sum);
    else
        detail::lanczos_clamped<T, C>(src.data(), w, h, lw, ix, iy, sum);
    detail::lanczos_store<T, C>(sum, out);
}

} // namespace linora
