// The number of false alarms: the binomial tail, and the count of a
// rectangle's aligned pixels.
#include "detector/nfa.hpp"
#include "images.hpp"
#include "saturating.hpp"

#include <gtest/gtest.h>

#include <array>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace linora::detector;

TEST(LogGamma, StatedValues) {
    EXPECT_NEAR(log_gamma(15.0), 25.1912211827, 1e-9); // Windschitl branch
    EXPECT_NEAR(log_gamma(10.0), 12.8018274801, 1e-9); // Lanczos branch
    EXPECT_NEAR(log_gamma(1.0), 0.0, 1e-12);
    EXPECT_NEAR(log_gamma(2.0), 0.0, 1e-12);
}

// The two approximations as stated, to tell which branch a value came from.
double windschitl(double x) {
    return (x - 0.5) * std::log(x) + 0.918938533204673 - x +
           0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * std::pow(x, 6)));
}
double lanczos(double x) {
    const double q[] = {75122.633153,  80916.6278952, 36308.2951477, 8687.24529705,
                        1168.92649479, 83.8676043424, 2.50662827511};
    double b = 0.0, a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5);
    for (int j = 0; j < 7; ++j) {
        b += q[j] * std::pow(x, j);
        a -= std::log(x + j);
    }
    return std::log(b) + a;
}

// Windschitl from 15 on (15 included), Lanczos below; the two differ by
// about 5e-13 at 15.
TEST(LogGamma, BranchAtFifteen) {
    ASSERT_GT(std::fabs(windschitl(15.0) - lanczos(15.0)), 1e-13);
    EXPECT_NEAR(log_gamma(15.0), windschitl(15.0), 2e-14);
    EXPECT_NEAR(log_gamma(16.0), windschitl(16.0), 2e-14);
    EXPECT_NEAR(log_gamma(14.0), lanczos(14.0), 2e-14);
    EXPECT_NEAR(log_gamma(std::nextafter(15.0, 0.0)), lanczos(std::nextafter(15.0, 0.0)), 2e-14);
}

// Both branches agree with the library's ln Gamma to about ten digits.
TEST(LogGamma, CloseToLibrary) {
    for (double x : {0.5, 1.5, 3.0, 7.25, 14.0, 14.999, 15.0, 20.0, 101.0, 1e4, 1e7}) {
        const double ref = std::lgamma(x);
        EXPECT_NEAR(log_gamma(x), ref, 1e-9 * std::fmax(1.0, std::fabs(ref))) << x;
    }
}

TEST(IntPow, ExactPowers) {
    EXPECT_EQ(int_pow(3.0, 0), 1.0);
    EXPECT_EQ(int_pow(3.0, 1), 3.0);
    EXPECT_EQ(int_pow(3.0, 5), 243.0);
    EXPECT_EQ(int_pow(0.5, 10), 1.0 / 1024.0);
    EXPECT_EQ(int_pow(2.0, 1023), std::ldexp(1.0, 1023));
    EXPECT_EQ(int_pow(-2.0, 7), -128.0);
    EXPECT_EQ(int_pow(0.9, 1u << 20), 0.0);
}

TEST(LogNfa, DegenerateCounts) {
    EXPECT_EQ(log_nfa(50, 0, 0.125, 3.5), -3.5);
    EXPECT_EQ(log_nfa(0, 0, 0.125, 3.5), -3.5);
    // Every pixel aligned: -logNT - n log10(p).
    EXPECT_NEAR(log_nfa(10, 10, 0.125, 2.0), -2.0 + 9.030899869919436, 1e-12);
    EXPECT_EQ(log_nfa(10, 10, 0.125, 2.0), -2.0 - 10.0 * std::log10(0.125));
}

// -log10 of the complete binomial tail, from the library's ln Gamma.
double full_tail(std::uint64_t n, std::uint64_t k, double p) {
    double tail = 0.0;
    for (std::uint64_t i = k; i <= n; ++i)
        tail += std::exp(std::lgamma(n + 1.0) - std::lgamma(i + 1.0) - std::lgamma(n - i + 1.0) +
                         i * std::log(p) + (n - i) * std::log(1.0 - p));
    return -std::log10(tail);
}

// The series stops once the geometric bound allows: for n = 20, k = 10 right
// after i = 11, which is visibly short of the complete tail.
TEST(LogNfa, TruncatedTail) {
    const double v = log_nfa(20, 10, 0.125, 0.0);
    EXPECT_NEAR(v, 4.2912, 5e-5);
    EXPECT_NEAR(full_tail(20, 10, 0.125), 4.2854, 5e-5);
    EXPECT_EQ(log_nfa(20, 10, 0.125, 1.5), v - 1.5);
    EXPECT_NEAR(log_nfa(100, 30, 0.125, 0.0), 5.5191, 5e-5);
}

// exp(log_term) underflows: far in the tail only the first term counts,
// within the bulk the tail is taken as 1.
TEST(LogNfa, Underflow) {
    const std::uint64_t n = 5000, k = 4000;
    const double p = 0.125;
    const double log_term = std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) +
                            k * std::log(p) + (n - k) * std::log(1 - p);
    ASSERT_EQ(std::exp(log_term), 0.0);
    EXPECT_NEAR(log_nfa(n, k, p, 2.0), -log_term / std::log(10.0) - 2.0, 1e-9 * -log_term);
    // n p = 12500 >= 1, and (7/8)^99999 * n p underflows.
    EXPECT_EQ(log_nfa(100000, 1, p, 2.0), -2.0);
}

// A 12 x 10 field of norm-10 cells pointing along +x.
struct Field {
    std::size_t w = 12, h = 10;
    std::vector<Px> f = std::vector<Px>(12 * 10, Px{10.0f, 1.0f, 0.0f});
    Px& at(std::size_t x, std::size_t y) { return f[y * w + x]; }
};

Rect horizontal(double x1, double x2, double y, double width, double p = 0.125) {
    return Rect{x1, y, x2, y, width, 1.0, 0.0, p * 3.141592653589793, p};
}

// Pixels on the boundary count: from x = 2 to 6 on row 5 is five pixels;
// width 2 takes rows 4 to 6.
TEST(RectLogNfa, CountsClosedRectangle) {
    Field fd;
    const double lnt = 3.0;
    EXPECT_EQ(rect_log_nfa(horizontal(2, 6, 5, 1.0), fd.f, fd.w, fd.h, kGradientThreshold, lnt),
              log_nfa(5, 5, 0.125, lnt));
    EXPECT_EQ(rect_log_nfa(horizontal(2, 6, 5, 2.0), fd.f, fd.w, fd.h, kGradientThreshold, lnt),
              log_nfa(15, 15, 0.125, lnt));
    // Direction reversed: same pixels, none aligned.
    Rect back = horizontal(6, 2, 5, 1.0);
    back.dx = -1.0;
    EXPECT_EQ(rect_log_nfa(back, fd.f, fd.w, fd.h, kGradientThreshold, lnt), -lnt);
}

TEST(RectLogNfa, WeakAndMisalignedPixels) {
    Field fd;
    const double lnt = 3.0;
    fd.at(3, 5).norm = kGradientThreshold;           // in n only
    fd.at(4, 5) = Px{10.0f, 0.0f, 1.0f};             // 90 degrees off
    fd.at(5, 5) = Px{10.0f, 0.9396926f, 0.3420201f}; // 20 degrees: aligned at pi/8
    EXPECT_EQ(rect_log_nfa(horizontal(2, 6, 5, 1.0), fd.f, fd.w, fd.h, kGradientThreshold, lnt),
              log_nfa(5, 3, 0.125, lnt));
    // At pi/16 the 20-degree pixel no longer counts.
    EXPECT_EQ(
        rect_log_nfa(horizontal(2, 6, 5, 1.0, 0.0625), fd.f, fd.w, fd.h, kGradientThreshold, lnt),
        log_nfa(5, 2, 0.0625, lnt));
}

// The alignment test includes its bound: with prec 0 an exactly parallel
// vector still counts.
TEST(RectLogNfa, AlignmentBoundIncluded) {
    Field fd;
    Rect r = horizontal(2, 6, 5, 1.0);
    r.prec = 0.0;
    EXPECT_EQ(rect_log_nfa(r, fd.f, fd.w, fd.h, kGradientThreshold, 3.0),
              log_nfa(5, 5, 0.125, 3.0));
}

TEST(RectLogNfa, OutsideTheImage) {
    Field fd;
    const double lnt = 3.0;
    for (const Rect& r : {horizontal(20, 30, 5, 1.0), horizontal(2, 6, 15, 1.0),
                          horizontal(-30, -20, 5, 1.0), horizontal(2, 6, -8, 1.0)})
        EXPECT_EQ(rect_log_nfa(r, fd.f, fd.w, fd.h, kGradientThreshold, lnt), -lnt);
}

// Non-finite rectangles must still finish: the bounds saturate.
TEST(RectLogNfa, NonFiniteRectangles) {
    Field fd;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(rect_log_nfa(Rect{nan, nan, nan, nan, nan, nan, nan, nan, 0.125}, fd.f, fd.w, fd.h,
                           kGradientThreshold, 2.0),
              -2.0);
    // Everything inside: 120 pixels, all aligned.
    EXPECT_EQ(rect_log_nfa(horizontal(-1e300, 1e300, 5, 1e308), fd.f, fd.w, fd.h,
                           kGradientThreshold, 2.0),
              log_nfa(120, 120, 0.125, 2.0));
    const double v =
        rect_log_nfa(horizontal(-inf, inf, 5, inf), fd.f, fd.w, fd.h, kGradientThreshold, 2.0);
    EXPECT_FALSE(std::isinf(v));
}

// rect_pixel_counts finds each row's run of inside pixels instead of testing
// every pixel of the bounding box; these tests compare it with the plain box
// scan on many rectangles, including the awkward ones.
// The definition: every pixel of the clipped bounding box, tested one by one.
RectCounts box_scan(const Rect& r, const std::vector<Px>& f, std::size_t w, std::size_t h,
                    float threshold) {
    const double cx = (r.x1 + r.x2) / 2.0;
    const double cy = (r.y1 + r.y2) / 2.0;
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5;
    const double hw = r.width * 0.5;
    const double ex = hl * std::fabs(r.dx) + hw * std::fabs(r.dy);
    const double ey = hw * std::fabs(r.dx) + hl * std::fabs(r.dy);
    using linora::saturating_floor;
    const std::size_t x_min = saturating_floor<std::size_t>(cx - ex);
    const std::size_t y_min = saturating_floor<std::size_t>(cy - ey);
    const std::size_t x_max = std::min(w - 1, saturating_floor<std::size_t>(std::ceil(cx + ex)));
    const std::size_t y_max = std::min(h - 1, saturating_floor<std::size_t>(std::ceil(cy + ey)));
    RectCounts c{0, 0};
    if (y_min > y_max || x_min > x_max) return c;
    const float fdx = static_cast<float>(r.dx), fdy = static_cast<float>(r.dy);
    const float fcos = static_cast<float>(std::cos(r.prec));
    for (std::size_t y = y_min; y <= y_max; ++y)
        for (std::size_t x = x_min; x <= x_max; ++x) {
            const double px = static_cast<double>(x) - cx, py = static_cast<double>(y) - cy;
            const double l = r.dx * px + r.dy * py, t = r.dx * py - r.dy * px;
            if (!(std::fabs(l) <= hl && std::fabs(t) <= hw)) continue;
            ++c.n;
            const Px& p = f[y * w + x];
            if (p.norm > threshold && p.cos_angle * fdx + p.sin_angle * fdy >= fcos) ++c.k;
        }
    return c;
}

struct RandomField {
    std::size_t w, h;
    std::vector<Px> f;
};

RandomField random_field(std::size_t w, std::size_t h, std::mt19937_64& rng) {
    return RandomField{w, h, test_images::random_field(w, h, rng)};
}

Rect make_rect(double cx, double cy, double angle, double len, double width, double prec) {
    const double dx = std::cos(angle), dy = std::sin(angle);
    return Rect{cx - dx * len / 2,
                cy - dy * len / 2,
                cx + dx * len / 2,
                cy + dy * len / 2,
                width,
                dx,
                dy,
                prec,
                prec / 3.141592653589793};
}

void expect_same(const Rect& r, const RandomField& fd) {
    const RectCounts got = rect_pixel_counts(r, fd.f, fd.w, fd.h, kGradientThreshold);
    const RectCounts want = box_scan(r, fd.f, fd.w, fd.h, kGradientThreshold);
    ASSERT_EQ(got.n, want.n) << r.x1 << " " << r.y1 << " " << r.x2 << " " << r.y2 << " w "
                             << r.width << " d " << r.dx << " " << r.dy;
    ASSERT_EQ(got.k, want.k);
    // The same rectangle at several precisions in one scan: each count is
    // that precision's own.
    std::array<double, kPrecisionTrials + 1> precs;
    for (std::size_t i = 0; i < precs.size(); ++i)
        precs[i] = r.prec * std::ldexp(1.0, -static_cast<int>(i));
    const PrecisionCounts all = rect_pixel_counts(r, fd.f, fd.w, fd.h, kGradientThreshold, precs);
    ASSERT_EQ(all.n, want.n);
    for (std::size_t i = 0; i < precs.size(); ++i) {
        Rect at = r;
        at.prec = precs[i];
        ASSERT_EQ(all.k[i], box_scan(at, fd.f, fd.w, fd.h, kGradientThreshold).k) << i;
    }
}

// Random rectangles of every direction, length and width, many partly or
// wholly outside the field.
TEST(RectPixelCounts, MatchesBoxScanOnRandomRectangles) {
    std::mt19937_64 rng(7);
    const RandomField fd = random_field(61, 47, rng);
    std::uniform_real_distribution<double> pos(-15.0, 75.0), ang(-4.0, 4.0), len(0.0, 60.0),
        wid(0.0, 9.0);
    for (int i = 0; i < 20000; ++i) {
        const double prec = 0.39269908169872414 / static_cast<double>(1 << (i % 6));
        expect_same(make_rect(pos(rng), pos(rng), ang(rng), len(rng), wid(rng), prec), fd);
    }
}

// Centres, lengths and widths on the half-pixel lattice and axis-aligned or
// diagonal directions put many pixels exactly on the boundary, where the
// run ends are decided by the last bit of l and t.
TEST(RectPixelCounts, MatchesBoxScanOnBoundaryPixels) {
    std::mt19937_64 rng(11);
    const RandomField fd = random_field(40, 30, rng);
    const double angles[] = {0.0,
                             3.141592653589793 / 2,
                             3.141592653589793,
                             -3.141592653589793 / 2,
                             0.7853981633974483,
                             -2.356194490192345,
                             1e-17,
                             3.141592653589793 / 2 + 1e-16};
    for (double a : angles)
        for (int cx2 = 0; cx2 < 80; cx2 += 3)
            for (int cy2 = 0; cy2 < 60; cy2 += 5)
                for (int l2 = 0; l2 <= 24; l2 += 4)
                    for (int w2 = 1; w2 <= 8; w2 += 3)
                        expect_same(make_rect(cx2 * 0.5, cy2 * 0.5, a, l2 * 0.5, w2 * 0.5,
                                              0.39269908169872414),
                                    fd);
}

// Far-away centres, huge and tiny extents, and non-finite fields.
TEST(RectPixelCounts, MatchesBoxScanOnExtremeRectangles) {
    std::mt19937_64 rng(13);
    const RandomField fd = random_field(20, 15, rng);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rect rects[] = {
        make_rect(1e6, 7.0, 1e-12, 2e6 + 40, 3.0, 0.39),
        make_rect(10.0, -1e9, 3.141592653589793 / 2 - 1e-15, 2e9 + 20, 2.0, 0.39),
        make_rect(10.0, 7.0, 0.3, 1e300, 1.0, 0.39),
        make_rect(10.0, 7.0, 0.3, 3.0, 1e300, 0.39),
        make_rect(10.0, 7.0, 0.3, 0.0, 0.0, 0.39),
        Rect{0.0, 0.0, 19.0, 14.0, inf, 0.8, 0.6, 0.39, 0.125},
        Rect{nan, 0.0, 19.0, 14.0, 2.0, 0.8, 0.6, 0.39, 0.125},
        Rect{0.0, 0.0, 19.0, 14.0, 2.0, nan, 0.6, 0.39, 0.125},
        Rect{-inf, 3.0, inf, 3.0, 2.0, 1.0, 0.0, 0.39, 0.125},
        Rect{2.0, 3.0, 2.0, 3.0, 2.0, 0.0, 0.0, 0.39, 0.125},
    };
    for (const Rect& r : rects)
        expect_same(r, fd);
}

} // namespace
