// The loops of the detector's per-pixel passes that run as vector code, once
// per instruction set (LINORA_ISAS in simd.hpp): linora::detector::scalar
// (every target), ::avx2 and ::avx512 (x86-64), all from the one kernel source
// vector_loops.inc. Every instance gives the bits of the scalar one (the
// NaNs of weighted_sum aside, as it says).
#pragma once

#include "detector/types.hpp"

#include <cstddef>
#include <cstdint>

namespace linora::detector {

// The cell value of seed_bins for a cell at or below the threshold.
inline constexpr std::uint16_t kNoBin = 0xFFFF;

struct VectorLoops {
    // dst[i] = ((0 + weights[0] * rows[0][i]) + weights[1] * rows[1][i]) + ...
    // for i in [0, n): the taps summed in order from +0, one rounded product
    // and one rounded sum each. dst must not overlap the rows. Where two
    // NaNs meet, which one a sum passes on may differ between instances
    // (the operand order is the compiler's); a NaN in the smoothed raster
    // gives a cell without gradient whatever its bits.
    void (*weighted_sum)(double* dst, const double* const* rows, const double* weights,
                         std::size_t taps, std::size_t n);
    // Row y of the level-line field from rows y and y + 1 of the raster (w
    // samples each, as 64-bit values): cells [0, w - 1) of `out`. `scratch`
    // holds 3 * w doubles.
    void (*field_row)(const double* top, const double* bottom, std::size_t w, Px* out,
                      double* scratch);
    // mag[i] = std::hypot(gx[i], gy[i]) for i in [0, n), bit for bit: the
    // magnitudes of field_row.
    void (*hypot_row)(const double* gx, const double* gy, double* mag, std::size_t n);
    // The largest norm of cells [0, n), NaNs ignored, never below 0.
    float (*max_norm)(const Px* cells, std::size_t n);
    // The seed bin of each of cells [0, n): min(1023, trunc((norm / max) *
    // 1023)) in single precision, NaN and values not above 0 giving 0, or
    // kNoBin for a norm at or below the threshold.
    void (*seed_bins)(const Px* cells, std::size_t n, float max, float threshold,
                      std::uint16_t* bins);
    // marks[i] = 1 for a norm at or below the threshold, else 0,
    // for i in [0, n).
    void (*weak_marks)(const Px* cells, std::size_t n, float threshold, std::uint8_t* marks);
};

// The instance for linora::active_isa().
const VectorLoops& vector_loops() noexcept;

} // namespace linora::detector
