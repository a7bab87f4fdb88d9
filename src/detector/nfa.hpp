// Validation of a rectangle by its number of false alarms (NFA): how often a
// rectangle with at least as many aligned pixels would appear by chance in a
// noise image, among all the rectangles that could have been tested.
#pragma once

#include "detector/types.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace linora::detector {

// ln Gamma(x) for x > 0: Windschitl's approximation from 15 on, Lanczos'
// below.
double log_gamma(double x);

// -log10(NT * P[Binomial(n, p) >= k]) for k <= n and 0 < p < 1, with
// log_nt = log10(NT). The binomial tail is summed from k up until a geometric
// bound says the rest cannot change the result by more than a tenth.
double log_nfa(std::uint64_t n, std::uint64_t k, double p, double log_nt);

// x^n by repeated squaring.
double int_pow(double x, std::uint64_t n);

// The pixels of a rectangle: n inside it, k of them aligned.
struct RectCounts {
    std::uint64_t n;
    std::uint64_t k;
};

// Counts the pixels inside the closed rectangle (n) and those among them
// whose norm is above `threshold` and whose level-line vector lies within
// rect.prec of (rect.dx, rect.dy), tested in 32-bit arithmetic (k). The
// result is that of testing every pixel of the rectangle's axis-aligned
// bounding box clipped to the w x h field.
RectCounts rect_pixel_counts(const Rect& rect, std::span<const Px> field, std::size_t w,
                             std::size_t h, float threshold);

// Precisions tried on one rectangle's pixels at once.
inline constexpr std::size_t kPrecisionTrials = 5;

// rect_pixel_counts of the rectangles that differ from `rect` only in their
// precision, precs[i] in place of rect.prec: one scan gives n (the same for
// all) and every k[i], each the count that scan would give alone.
struct PrecisionCounts {
    std::uint64_t n;
    std::array<std::uint64_t, kPrecisionTrials + 1> k;
};
PrecisionCounts rect_pixel_counts(const Rect& rect, std::span<const Px> field, std::size_t w,
                                  std::size_t h, float threshold,
                                  const std::array<double, kPrecisionTrials + 1>& precs);

// The log-NFA of a rectangle: n counts the pixels inside the closed
// rectangle, k those among them whose norm is above `threshold` and whose
// level-line vector lies within rect.prec of (rect.dx, rect.dy) (tested in
// 32-bit arithmetic). Pixels are scanned over the rectangle's axis-aligned
// bounding box clipped to the w x h field.
double rect_log_nfa(const Rect& rect, std::span<const Px> field, std::size_t w, std::size_t h,
                    float threshold, double log_nt);

} // namespace linora::detector
