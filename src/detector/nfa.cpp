#include "detector/nfa.hpp"

#include "cancel.hpp"
#include "detector/libm.hpp"
#include "float_env.hpp"

#include "saturating.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace linora::detector {

double log_gamma(double x) {
    if (x >= 15.0) {
        // Windschitl: accurate for large x. x^6 by multiplication (exact for
        // the integer arguments the NFA uses while it stays below 2^53).
        const double x6 = x * x * x * x * x * x;
        return (x - 0.5) * std::log(x) + 0.918938533204673 - x +
               0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * x6));
    }
    // Lanczos: ln(b) + a with b a polynomial in x.
    const double x2 = x * x;
    const double x3 = x2 * x;
    const double x4 = x3 * x;
    const double x5 = x4 * x;
    const double x6 = x5 * x;
    const double b = 75122.633153 + 80916.6278952 * x + 36308.2951477 * x2 + 8687.24529705 * x3 +
                     1168.92649479 * x4 + 83.8676043424 * x5 + 2.50662827511 * x6;
    double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5);
    for (int j = 0; j <= 6; ++j)
        a -= std::log(x + static_cast<double>(j));
    return std::log(b) + a;
}

double int_pow(double x, std::uint64_t n) {
    double result = 1.0;
    while (n != 0) {
        if (n & 1) result *= x;
        x *= x;
        n >>= 1;
    }
    return result;
}

namespace {

// ln Gamma(m + 1) for the counts below this are computed once per process:
// the NFA of every rectangle takes three of them, mostly of small counts.
constexpr std::uint64_t kTabulatedFactorials = 4096;

// The table is trivially destructible: a daemon thread may still be in a
// call while the process exits and destroys its static objects.
double log_factorial(std::uint64_t m) {
    static const std::array<double, kTabulatedFactorials> table = [] {
        const DefaultFloatEnv float_env;
        std::array<double, kTabulatedFactorials> t;
        for (std::uint64_t i = 0; i < kTabulatedFactorials; ++i)
            t[i] = log_gamma(static_cast<double>(i) + 1.0);
        return t;
    }();
    return m < kTabulatedFactorials ? table[m] : log_gamma(static_cast<double>(m) + 1.0);
}

} // namespace

double log_nfa(std::uint64_t n, std::uint64_t k, double p, double log_nt) {
    if (k == 0 || n == 0) return -log_nt;
    const double dn = static_cast<double>(n);
    const double dk = static_cast<double>(k);
    if (k == n) return -log_nt - dk * std::log10(p);

    // The probability of exactly k aligned pixels.
    const double log_term = log_factorial(n) - log_factorial(k) - log_factorial(n - k) +
                            dk * std::log(p) + static_cast<double>(n - k) * std::log(1.0 - p);
    double term = std::exp(log_term);
    if (term == 0.0) {
        // Underflow: k is either well within the bulk of the distribution
        // (tail close to 1) or far out, where the first term dominates.
        if (p * dn >= dk) return -log_nt;
        return log_term / -2.302585092994046 - log_nt;
    }

    // Sum the tail from k + 1, each term from the previous one by the ratio
    // of consecutive binomial probabilities.
    double tail = term;
    const double p_term = p / (1.0 - p);
    for (std::uint64_t i = k + 1; i <= n; ++i) {
        const double di = static_cast<double>(i);
        const double bin_term = static_cast<double>(n - i + 1) / di;
        const double mult = p_term * bin_term;
        term = term * mult;
        tail = tail + term;
        if (i == n) break;
        if (bin_term < 1.0) {
            // Once the ratio is below 1 the remaining terms are bounded by a
            // geometric series.
            const double err = term * ((1.0 - int_pow(mult, n - i + 1)) / (1.0 - mult) - 1.0);
            if (err < 0.1 * std::fabs(-std::log10(tail) - log_nt) * tail) break;
        }
    }
    return -std::log10(tail) - log_nt;
}

namespace {

// Relative widening of the real-valued row bounds in rect_pixel_counts: the
// rounding errors of l, t and of the bounds themselves are a few units of
// 2^-53 of the magnitudes involved, this is thousands of times more.
constexpr double kSlack = 0x1p-40;

// ceil / floor of a double as a signed 64-bit index, saturating (NaN gives
// 0; callers treat NaN bounds before converting).
std::int64_t ceil_index(double v) {
    return saturating_trunc<std::int64_t>(std::ceil(v));
}
std::int64_t floor_index(double v) {
    return saturating_trunc<std::int64_t>(std::floor(v));
}

// What the scan of rect_pixel_counts with M precisions counts: n pixels
// inside, k[i] of them aligned within precs[i].
template <std::size_t M> struct ScanCounts {
    std::uint64_t n = 0;
    std::array<std::uint64_t, M> k{};
};

template <std::size_t M>
ScanCounts<M> scan_rect(const Rect& rect, std::span<const Px> field, std::size_t w, std::size_t h,
                        float threshold, const std::array<double, M>& precs) {
    const double cx = (rect.x1 + rect.x2) / 2.0;
    const double cy = (rect.y1 + rect.y2) / 2.0;
    const double hl = library_hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    const double hw = rect.width * 0.5;
    const double dx = rect.dx;
    const double dy = rect.dy;

    // Axis-aligned bounding box of the rectangle, clipped to the field.
    // Negative or NaN bounds become 0, huge ones saturate before clipping.
    const double ex = hl * std::fabs(dx) + hw * std::fabs(dy);
    const double ey = hw * std::fabs(dx) + hl * std::fabs(dy);
    const std::size_t x_min = saturating_floor<std::size_t>(cx - ex);
    const std::size_t y_min = saturating_floor<std::size_t>(cy - ey);
    std::size_t x_max = saturating_trunc<std::size_t>(std::ceil(cx + ex));
    std::size_t y_max = saturating_trunc<std::size_t>(std::ceil(cy + ey));
    if (x_max > w - 1) x_max = w - 1;
    if (y_max > h - 1) y_max = h - 1;
    ScanCounts<M> counts;
    if (y_min > y_max || x_min > x_max) return counts;

    // The alignment test runs in single precision on the stored unit vectors.
    const float fdx = static_cast<float>(dx);
    const float fdy = static_cast<float>(dy);
    std::array<float, M> fcos;
    for (std::size_t i = 0; i < M; ++i)
        fcos[i] = static_cast<float>(std::cos(precs[i]));

    // The inside test of pixel (x, y), in exactly the operations of the
    // definition.
    auto inside = [&](std::int64_t x, std::int64_t y) {
        const double px = static_cast<double>(x) - cx;
        const double py = static_cast<double>(y) - cy;
        const double l = dx * px + dy * py;
        const double t = dx * py - dy * px;
        return std::fabs(l) <= hl && std::fabs(t) <= hw;
    };
    // Without a branch: whether a pixel inside is strong enough falls at
    // random along a line, and its projection is computed either way.
    auto count_aligned = [&](const Px& c) {
        const bool strong = c.norm > threshold;
        const float dot = c.cos_angle * fdx + c.sin_angle * fdy;
        for (std::size_t i = 0; i < M; ++i)
            counts.k[i] += strong & (dot >= fcos[i]);
    };

    // The pixels are visited line by line along the axis closer to the
    // rectangle's direction: rows for a flat rectangle, columns for a steep
    // one, so that each line holds a long run of inside pixels rather than a
    // short one (n and k are counts: the order of visiting does not matter).
    // Within a line the inside pixels form one run: the varying coordinate
    // minus the centre rounds monotonically, so do the products by dx and
    // dy and the sums, so l and t are monotonic along the line and each of
    // |l| <= hl, |t| <= hw holds on an interval. The run is found from a
    // superset given by the real-valued rectangle, widened by far more than
    // the rounding errors of l, t and of the bounds themselves, and trimmed
    // at both ends with the exact test; so n and k are those of testing every
    // pixel of the box. Non-finite geometry is scanned pixel by pixel.
    const bool finite = std::isfinite(cx) && std::isfinite(cy) && std::isfinite(hl) &&
                        std::isfinite(hw) && std::isfinite(dx) && std::isfinite(dy);
    const bool by_rows = !(std::fabs(dy) > std::fabs(dx));
    // Line coordinate (outer) and position along the line (inner).
    const std::size_t outer_min = by_rows ? y_min : x_min;
    const std::size_t outer_max = by_rows ? y_max : x_max;
    const auto inner_lo = static_cast<std::int64_t>(by_rows ? x_min : y_min);
    const auto inner_hi = static_cast<std::int64_t>(by_rows ? x_max : y_max);
    const double c_outer = by_rows ? cy : cx;
    const double c_inner = by_rows ? cx : cy;
    const std::size_t step = by_rows ? 1 : w; // between pixels of a line
    // In a line at outer offset q = outer - c_outer, with p = inner - c_inner:
    // l = sl * p + ol * q and t = st * p + ot * q.
    const double sl = by_rows ? dx : dy;
    const double ol = by_rows ? dy : dx;
    const double st = by_rows ? -dy : dx;
    const double ot = by_rows ? dx : -dy;
    const double inv_sl = 1.0 / sl;
    const double inv_st = 1.0 / st;
    const double reach = fmax_fixed(std::fabs(static_cast<double>(inner_lo) - c_inner),
                                    std::fabs(static_cast<double>(inner_hi) - c_inner));
    const std::size_t line_len = static_cast<std::size_t>(inner_hi - inner_lo) + 1;
    for (std::size_t o = outer_min; o <= outer_max; ++o) {
        // A rectangle may cover most of the image: a cancellation point every
        // 64 lines.
        if (((o - outer_min) & 63) == 63) poll(64 * line_len);
        const auto oi = static_cast<std::int64_t>(o);
        auto pixel_inside = [&](std::int64_t i) { return by_rows ? inside(i, oi) : inside(oi, i); };
        const Px* line = field.data() + (by_rows ? o * w : o);
        auto count = [&](std::int64_t lo, std::int64_t hi) {
            counts.n += static_cast<std::uint64_t>(hi - lo + 1);
            for (std::int64_t i = lo; i <= hi; ++i)
                count_aligned(line[static_cast<std::size_t>(i) * step]);
        };
        if (!finite) {
            for (std::int64_t i = inner_lo; i <= inner_hi; ++i)
                if (pixel_inside(i)) count(i, i);
            continue;
        }
        const double q = static_cast<double>(o) - c_outer;
        // Real-valued positions where |l| <= hl + err and |t| <= hw + err,
        // err bounding the rounding of l and t over the box.
        const double err =
            kSlack * ((std::fabs(dx) + std::fabs(dy)) * (reach + std::fabs(q)) + 1.0);
        double lo = -INFINITY;
        double hi = INFINITY;
        auto restrict_to = [&](double centre, double half, double slope, double inv_slope) {
            // slope * p within centre -/+ half. A product by the reciprocal
            // stands for the quotient: its error is far inside the slack.
            if (slope == 0.0) return;
            double a = (centre - half) * inv_slope;
            double b = (centre + half) * inv_slope;
            if (slope < 0.0) std::swap(a, b);
            const double slack = kSlack * ((std::fabs(centre) + half) * std::fabs(inv_slope) +
                                           std::fabs(c_inner) + 1.0);
            lo = fmax_fixed(lo, c_inner + a - slack);
            hi = fmin_fixed(hi, c_inner + b + slack);
        };
        restrict_to(-ol * q, hl + err, sl, inv_sl);
        restrict_to(-ot * q, hw + err, st, inv_st);
        std::int64_t a = inner_lo;
        std::int64_t b = inner_hi;
        if (!std::isnan(lo) && !std::isnan(hi)) {
            a = std::max(a, ceil_index(lo));
            b = std::min(b, floor_index(hi));
        }
        while (a <= b && !pixel_inside(a))
            ++a;
        while (b >= a && !pixel_inside(b))
            --b;
        if (a <= b) count(a, b);
    }
    return counts;
}

} // namespace

RectCounts rect_pixel_counts(const Rect& rect, std::span<const Px> field, std::size_t w,
                             std::size_t h, float threshold) {
    const ScanCounts<1> c = scan_rect<1>(rect, field, w, h, threshold, {rect.prec});
    return {c.n, c.k[0]};
}

PrecisionCounts rect_pixel_counts(const Rect& rect, std::span<const Px> field, std::size_t w,
                                  std::size_t h, float threshold,
                                  const std::array<double, kPrecisionTrials + 1>& precs) {
    const ScanCounts<kPrecisionTrials + 1> c = scan_rect(rect, field, w, h, threshold, precs);
    return {c.n, c.k};
}

double rect_log_nfa(const Rect& rect, std::span<const Px> field, std::size_t w, std::size_t h,
                    float threshold, double log_nt) {
    const RectCounts c = rect_pixel_counts(rect, field, w, h, threshold);
    return log_nfa(c.n, c.k, rect.p, log_nt);
}

} // namespace linora::detector
