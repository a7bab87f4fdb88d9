#include "detector/nfa.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

} // namespace
