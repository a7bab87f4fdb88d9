// The inline fmin, fmax and hypot against the C library.
#include "detector/libm.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

using namespace linora::detector;

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

// Called through pointers so that the compiler cannot fold them.
double (*volatile lib_fmin)(double, double) = &::fmin;
double (*volatile lib_fmax)(double, double) = &::fmax;

// The fixed rule: the second operand on equality, a quiet NaN gives way,
// two NaNs give the first, a signalling NaN gives itself (quieted). On
// x86-64 with glibc it is the library's, for every pair.
TEST(LibmFminFmax, FixedRule) {
    const double qa = std::bit_cast<double>(0x7FF8000000000001ull);
    const double qb = std::bit_cast<double>(0xFFF8000000000002ull);
    const double sn = std::bit_cast<double>(0x7FF0000000000003ull);
    const double values[] = {0.0, -0.0,     1.0,       -1.0, 0x1p-1074, -DBL_MAX, qa,      qb,
                             sn,  INFINITY, -INFINITY, 3.5,  -3.5,      1e300,    -1e-300, DBL_MIN};
    for (double a : values)
        for (double b : values) {
            const double mn = fmin_fixed(a, b), mx = fmax_fixed(a, b);
            if (std::isnan(a) && std::isnan(b)) {
                EXPECT_EQ(bits(mn), bits(a) | (1ull << 51));
                EXPECT_EQ(bits(mx), bits(a) | (1ull << 51));
            } else if (std::isnan(a) || std::isnan(b)) {
                const double nan = std::isnan(a) ? a : b, other = std::isnan(a) ? b : a;
                const bool quiet = bits(nan) & (1ull << 51);
                EXPECT_EQ(bits(mn), quiet ? bits(other) : bits(nan) | (1ull << 51));
                EXPECT_EQ(bits(mx), bits(mn));
            } else {
                EXPECT_EQ(bits(mn), bits(a < b ? a : b));
                EXPECT_EQ(bits(mx), bits(a > b ? a : b));
            }
#if defined(__x86_64__) && defined(__GLIBC__)
            EXPECT_EQ(bits(mn), bits(lib_fmin(a, b))) << a << " " << b;
            EXPECT_EQ(bits(mx), bits(lib_fmax(a, b))) << a << " " << b;
#endif
        }
    EXPECT_EQ(bits(fmin_fixed(0.0, -0.0)), bits(-0.0));
    EXPECT_EQ(bits(fmin_fixed(-0.0, 0.0)), bits(0.0));
    EXPECT_EQ(bits(fmax_fixed(-0.0, 0.0)), bits(0.0));
    EXPECT_EQ(bits(fmax_fixed(0.0, -0.0)), bits(-0.0));
}

// The copy of the library's hypot agrees with it on millions of cases of
// every kind (LINORA_HYPOT_CASES sets the number per kind for longer runs).
// With glibc 2.35 or later on x86-64 the copy must be the one in use.
TEST(LibmHypot, CopyAgreesWithTheLibrary) {
    const HypotPath path = hypot_copy_path();
#if defined(__x86_64__) && defined(__GLIBC__) &&                                                   \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 35))
    EXPECT_EQ(path, HypotPath::Plain);
#endif
    if (path == HypotPath::Library)
        GTEST_SKIP() << "the C library's hypot is not Borges' algorithm";
    std::uint64_t cases = 500000;
    if (const char* env = std::getenv("LINORA_HYPOT_CASES"))
        cases = std::strtoull(env, nullptr, 10);
    EXPECT_EQ(hypot_copy_mismatches(path == HypotPath::Fused, cases, 12345), 0u);
    // library_hypot is the copy, and the shortcut for a zero operand.
    for (double v : {0.0, -0.0, 3.5, -1e-320, 1e308, double(INFINITY), -double(INFINITY)})
        for (double z : {0.0, -0.0}) {
            EXPECT_EQ(bits(library_hypot(v, z)), bits(std::fabs(v)));
            EXPECT_EQ(bits(library_hypot(z, v)), bits(std::fabs(v)));
        }
}

// hypot_below and hypot_above give the library's comparisons: for the kinds
// of operands the detector and the hard cases produce, against bounds at and
// a few units around hypot's result and its estimate, at the edges of the
// band beyond which the estimate decides alone, and bounds that are not
// positive numbers.
TEST(LibmHypot, ComparisonsAreTheLibrarys) {
    auto up = [](double v) { return std::nextafter(v, INFINITY); };
    auto down = [](double v) { return std::nextafter(v, -INFINITY); };
    std::uint64_t state = 777;
    for (unsigned kind = 0; kind < kHypotCaseKinds; ++kind)
        for (int i = 0; i < 20000; ++i) {
            double x;
            double y;
            hypot_test_case(state, kind, x, y);
            const double h = library_hypot(x, y);
            const double s = hypot_estimate(x, y);
            for (double b :
                 {h, up(h), down(h), up(up(h)), down(down(h)), s, up(s), down(s),
                  h * (1.0 - 0x1p-40), h * (1.0 + 0x1p-40), s * (1.0 - 0x1p-40),
                  s * (1.0 + 0x1p-40), -h, 0.0, double(NAN), double(INFINITY), -double(INFINITY)}) {
                ASSERT_EQ(hypot_below(s, x, y, b), h < b) << x << ", " << y << " < " << b;
                ASSERT_EQ(hypot_above(s, x, y, b), h > b) << x << ", " << y << " > " << b;
            }
        }
}

} // namespace
