// fmin, fmax and hypot without a call into the C library, where the result
// is provably the library's own.
//
// fmin and fmax: the C standard leaves open which zero fmin(+0, -0) returns
// and which NaN comes out of two; glibc on x86-64 returns the second operand
// when the operands compare equal, while aarch64's fminnm takes -0 below +0.
// fmin_fixed and fmax_fixed follow glibc's x86-64 rule on every platform, so
// results agree everywhere (and are the library's on x86-64).
//
// hypot: glibc 2.35 and later computes it with Borges' corrected algorithm
// ("An improved algorithm for hypot(a, b)", 2019): sqrt(x^2 + y^2) and one
// correction step, or with a fused multiply-add where the library is built
// with one. hypot_copy<Fused> is that algorithm, operation for operation.
// When the library is loaded, hypot_copy_path() compares both variants with
// the library's hypot on hard cases (subnormals, results near overflow and
// underflow, widely different operands, near ties, random bulk and the inputs
// the detector produces) and keeps the one that agrees on every case; if
// neither does, library_hypot calls the library.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace linora::detector {

namespace libm_detail {

inline double quieted(double v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | (std::uint64_t{1} << 51));
}
inline bool signalling(double v) {
    return std::isnan(v) && !(std::bit_cast<std::uint64_t>(v) & (std::uint64_t{1} << 51));
}
// At least one of a, b is NaN: two NaNs give the first, quieted; a
// signalling NaN gives itself, quieted; a quiet NaN gives the other operand.
[[gnu::cold]] inline double nan_operand(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return quieted(a);
    const double nan = std::isnan(a) ? a : b;
    return signalling(nan) ? quieted(nan) : (std::isnan(a) ? b : a);
}

} // namespace libm_detail

// The smaller of a and b; b when they compare equal (so fmin_fixed(+0, -0)
// is -0 and fmin_fixed(-0, +0) is +0). NaNs as in nan_operand above.
inline double fmin_fixed(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) [[unlikely]]
        return libm_detail::nan_operand(a, b);
    return a < b ? a : b;
}

// The larger of a and b; b when they compare equal. NaNs as fmin_fixed.
inline double fmax_fixed(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) [[unlikely]]
        return libm_detail::nan_operand(a, b);
    return a > b ? a : b;
}

// Borges' corrected hypot as glibc computes it, for finite x and y (the
// caller handles infinities and NaNs). Fused selects the variant for a
// library built with fused multiply-adds.
template <bool Fused> inline double hypot_kernel(double ax, double ay) {
    // ax >= ay >= 0, scaled so that nothing below over- or underflows.
    if constexpr (Fused) {
        const double t1 = ay + ay;
        const double t2 = ax - ay;
        if (t1 >= ax) return std::sqrt(std::fma(t1, ax, t2 * t2));
        return std::sqrt(std::fma(ax, ax, ay * ay));
    } else {
        double h = std::sqrt(ax * ax + ay * ay);
        double t1, t2;
        if (h <= 2.0 * ay) {
            const double delta = h - ay;
            t1 = ax * (2.0 * delta - ax);
            t2 = (delta - 2.0 * (ax - ay)) * delta;
        } else {
            const double delta = h - ax;
            t1 = 2.0 * delta * (ax - 2.0 * ay);
            t2 = (4.0 * delta - ay) * ay + delta * delta;
        }
        h -= (t1 + t2) / (2.0 * h);
        return h;
    }
}

inline constexpr double kHypotScale = 0x1p-600;
inline constexpr double kHypotLarge = 0x1p+511;
inline constexpr double kHypotTiny = 0x1p-459;
inline constexpr double kHypotEps = 0x1p-54;

template <bool Fused> inline double hypot_copy(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) [[unlikely]]
        return std::hypot(x, y); // infinities and NaNs: rare, left to the library
    x = std::fabs(x);
    y = std::fabs(y);
    double ax = x < y ? y : x;
    const double ay = x < y ? x : y;
    if (ax > kHypotLarge) [[unlikely]] {
        if (ay <= ax * kHypotEps) return ax + ay;
        return hypot_kernel<Fused>(ax * kHypotScale, ay * kHypotScale) / kHypotScale;
    }
    if (ay < kHypotTiny) [[unlikely]] {
        // Also the exact shortcut for a zero operand: ax + 0.
        if (ax >= ay / kHypotEps) return ax + ay;
        ax = hypot_kernel<Fused>(ax / kHypotScale, ay / kHypotScale) * kHypotScale;
        return ax;
    }
    if (ay <= ax * kHypotEps) return ax + ay;
    return hypot_kernel<Fused>(ax, ay);
}

enum class HypotPath : std::uint8_t { Library, Plain, Fused };

// The variant of hypot_copy that agrees with the library's hypot on every
// test case, found once when the library is loaded (Library before that and
// when neither agrees).
HypotPath hypot_copy_path() noexcept;

namespace libm_detail {
extern HypotPath g_hypot_path;
}

// std::hypot(x, y), bit for bit.
inline double library_hypot(double x, double y) {
    switch (libm_detail::g_hypot_path) {
    case HypotPath::Plain:
        return hypot_copy<false>(x, y);
    case HypotPath::Fused:
        return hypot_copy<true>(x, y);
    default:
        return std::hypot(x, y);
    }
}

// Comparisons of library_hypot(x, y) with a bound b that call the library
// only when its approximation s = hypot_estimate(x, y) cannot decide. s is
// within 2^-50 of hypot's result (each of its three operations rounds by at
// most 2^-53, the library's result is within one unit of the last place)
// unless the squares overflow or lose bits to underflow, so outside a band of
// 2^-40 around b it decides alone. For s outside [2^-400, 2^400], NaN among
// them, the library decides every comparison. The results are library_hypot's
// comparisons for every b, NaN and infinities included.
inline double hypot_estimate(double x, double y) {
    return std::sqrt(x * x + y * y);
}
inline bool hypot_estimate_decides(double s) {
    return s >= 0x1p-400 && s <= 0x1p400;
}
// library_hypot(x, y) < b, where s = hypot_estimate(x, y).
inline bool hypot_below(double s, double x, double y, double b) {
    if (hypot_estimate_decides(s)) {
        if (s < b * (1.0 - 0x1p-40)) return true;
        if (s >= b * (1.0 + 0x1p-40)) return false;
    }
    return library_hypot(x, y) < b;
}
// library_hypot(x, y) > b, where s = hypot_estimate(x, y).
inline bool hypot_above(double s, double x, double y, double b) {
    if (hypot_estimate_decides(s)) {
        if (s > b * (1.0 + 0x1p-40)) return true;
        if (s <= b * (1.0 - 0x1p-40)) return false;
    }
    return library_hypot(x, y) > b;
}

// The next pseudo-random test case of hypot of the given kind (0 to
// kHypotCaseKinds - 1): any bit patterns, any ratio around every exponent,
// near-cancelling ratios next to the scaling thresholds, operands 2^53 to
// 2^56 apart, and what the detector computes (gradients of 8-bit, 16-bit
// and float samples, sums of unit vectors, integer offsets).
inline constexpr unsigned kHypotCaseKinds = 8;
void hypot_test_case(std::uint64_t& state, unsigned kind, double& x, double& y) noexcept;

// Compares hypot_copy<Fused> with the library on `cases` pseudo-random cases
// of each kind (and fixed hard cases); returns the number that differ. The
// load-time check runs it with a thousand; tests with millions.
std::uint64_t hypot_copy_mismatches(bool fused, std::uint64_t cases, std::uint64_t seed) noexcept;

} // namespace linora::detector
