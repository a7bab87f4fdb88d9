// The saturating float-to-integer conversions that every routine uses.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace linora {

// Truncates toward zero and saturates at the limits of I; NaN gives 0.
// A plain cast of NaN or of an out-of-range value is undefined behaviour in
// C++, so every float-to-integer conversion of the library goes through here.
template <class I> constexpr I saturating_trunc(double v) noexcept {
    static_assert(std::is_integral_v<I>);
    if (!(v == v)) return 0;
    // The limits as doubles: lo is exact (zero or a negative power of two),
    // hi_excl is the power of two just above the largest value of I.
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hi_excl = static_cast<double>(std::numeric_limits<I>::max() / 2 + 1) * 2.0;
    if (v <= lo) return std::numeric_limits<I>::min();
    if (v >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}

// A float-to-integer floor with the same saturation: std::floor, then
// saturating_trunc.
template <class I> inline I saturating_floor(double v) noexcept {
    return saturating_trunc<I>(std::floor(v));
}

} // namespace linora
