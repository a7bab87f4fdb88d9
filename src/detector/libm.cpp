#include "detector/libm.hpp"
#include "float_env.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace linora::detector {

namespace {

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A double in [1, 2) from the top bits of r.
double unit_mantissa(std::uint64_t r) {
    return std::bit_cast<double>(0x3FF0000000000000ull | (r >> 12));
}

void make_case(unsigned kind, std::uint64_t r1, std::uint64_t r2, std::uint64_t r3, double& x,
               double& y) {
    switch (kind) {
    case 0: // any bit patterns: every exponent, subnormals, infinities, NaNs
        x = std::bit_cast<double>(r1);
        y = std::bit_cast<double>(r2);
        break;
    case 1: { // any ratio, around every exponent
        const int e = static_cast<int>(r3 % 2100) - 1075;
        x = std::ldexp(unit_mantissa(r1), e);
        y = std::ldexp(unit_mantissa(r2), e - static_cast<int>((r3 >> 16) % 64));
        break;
    }
    case 2: { // the ratios where a correction term cancels (1/2, 3/4, 1),
              // next to the scaling thresholds, a few units apart
        static constexpr double ratios[] = {0.75, 0.5, 1.0, 0.25, 0.6};
        static constexpr int exps[] = {-1074, -1030, -1022, -540, -520, -511, -490,
                                       -470,  -460,  -459,  -458, 0,    460,  500,
                                       510,   511,   512,   513,  1000, 1023};
        const int e =
            exps[r3 % (sizeof exps / sizeof exps[0])] + static_cast<int>((r3 >> 8) % 9) - 4;
        x = std::ldexp(unit_mantissa(r1), e);
        const double r = ratios[(r3 >> 16) % (sizeof ratios / sizeof ratios[0])];
        y = std::bit_cast<double>(std::bit_cast<std::uint64_t>(x * r) + (r2 % 65) - 32);
        break;
    }
    case 3: { // operands 2^53 to 2^56 apart: where ax + ay takes over
        x = std::ldexp(unit_mantissa(r1), static_cast<int>(r3 % 2000) - 1000);
        y = std::ldexp(unit_mantissa(r2), std::ilogb(x) - 53 - static_cast<int>((r3 >> 16) % 3));
        if ((r3 >> 20) & 1) y = std::bit_cast<double>(std::bit_cast<std::uint64_t>(y) ^ 1);
        break;
    }
    case 4: // gradients of 8-bit samples: half-integers
        x = static_cast<double>(static_cast<std::int64_t>(r1 % 1021) - 510) * 0.5;
        y = static_cast<double>(static_cast<std::int64_t>(r2 % 1021) - 510) * 0.5;
        break;
    case 5: { // gradients of 16-bit samples divided by 257
        auto s = [](std::uint64_t r) { return static_cast<double>(r & 0xFFFF) / 257.0; };
        x = (((s(r1) + s(r1 >> 16)) - s(r1 >> 32)) - s(r1 >> 48)) * 0.5;
        y = (((s(r2) + s(r2 >> 16)) - s(r2 >> 32)) - s(r2 >> 48)) * 0.5;
        break;
    }
    case 6: { // gradients of float samples, and of smoothed 8-bit samples
        auto f = [](std::uint64_t r) {
            return static_cast<double>(static_cast<float>(unit_mantissa(r) * 256.0 - 384.0));
        };
        if (r3 & 1) {
            x = (((f(r1) + f(r2)) - f(r3)) - f(r1 ^ r2)) * 0.5;
            y = (((f(r2 ^ r3) + f(r1 ^ r3)) - f(r1 + r2)) - f(r3 * 3)) * 0.5;
        } else {
            x = unit_mantissa(r1) * 255.0 - unit_mantissa(r2) * 255.0;
            y = unit_mantissa(r3) * 255.0 - unit_mantissa(r1 ^ r3) * 255.0;
        }
        break;
    }
    default: { // sums of single-precision unit vectors (region growing) and
               // integer offsets (refinement)
        const double n = static_cast<double>(r3 % 100000 + 1);
        const double a = unit_mantissa(r1) * 6.283185307179586;
        x = static_cast<double>(static_cast<float>(std::cos(a))) * n +
            static_cast<double>(static_cast<float>(unit_mantissa(r2) - 1.5));
        y = static_cast<double>(static_cast<float>(std::sin(a))) * n;
        if ((r3 >> 32) & 1) {
            x = static_cast<double>(static_cast<std::int64_t>(r1 % 8001) - 4000);
            y = static_cast<double>(static_cast<std::int64_t>(r2 % 8001) - 4000);
        }
        break;
    }
    }
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Through a pointer, so that the compiler cannot evaluate the library call
// itself.
double (*volatile g_library_hypot)(double, double) = &::hypot;

// Compares (x, y) and (-y, x): both operand orders, both signs.
std::uint64_t mismatches_on(bool fused, double x, double y) {
    std::uint64_t bad = 0;
    for (int s = 0; s < 2; ++s) {
        const double a = s == 0 ? x : -y;
        const double b = s == 0 ? y : x;
        const double got = fused ? hypot_copy<true>(a, b) : hypot_copy<false>(a, b);
        bad += !same_bits(got, g_library_hypot(a, b));
    }
    return bad;
}

HypotPath select_hypot_path() noexcept {
    // Whatever mode the thread that loads the library is in.
    const DefaultFloatEnv float_env;
    constexpr std::uint64_t kCasesPerKind = 1000;
    if (hypot_copy_mismatches(false, kCasesPerKind, 1) == 0) return HypotPath::Plain;
    if (hypot_copy_mismatches(true, kCasesPerKind, 1) == 0) return HypotPath::Fused;
    return HypotPath::Library;
}

} // namespace

std::uint64_t hypot_copy_mismatches(bool fused, std::uint64_t cases, std::uint64_t seed) noexcept {
    std::uint64_t bad = 0;
    static constexpr double fixed[] = {0.0,
                                       1.0,
                                       0x1p-1074,
                                       0x1p-1073,
                                       0x1.fffffffffffffp-1023,
                                       DBL_MIN,
                                       DBL_MAX,
                                       0x1.fffffffffffffp+1022,
                                       0x1p-459,
                                       0x1.fffffffffffffp-460,
                                       0x1.0000000000001p-459,
                                       0x1p+511,
                                       0x1.0000000000001p+511,
                                       0x1.fffffffffffffp+510,
                                       0x1p-54,
                                       0x1p+54,
                                       3.0,
                                       4.0,
                                       0.5,
                                       INFINITY,
                                       NAN};
    for (double x : fixed)
        for (double y : fixed)
            bad += mismatches_on(fused, x, y);
    std::uint64_t state = seed;
    for (std::uint64_t i = 0; i < cases; ++i)
        for (unsigned kind = 0; kind < kHypotCaseKinds; ++kind) {
            double x, y;
            hypot_test_case(state, kind, x, y);
            bad += mismatches_on(fused, x, y);
        }
    return bad;
}

void hypot_test_case(std::uint64_t& state, unsigned kind, double& x, double& y) noexcept {
    const std::uint64_t r1 = splitmix(state), r2 = splitmix(state), r3 = splitmix(state);
    make_case(kind, r1, r2, r3, x, y);
}

namespace libm_detail {
// Library until the check below has run (static initialisation in order).
HypotPath g_hypot_path = select_hypot_path();
} // namespace libm_detail

HypotPath hypot_copy_path() noexcept {
    return libm_detail::g_hypot_path;
}

} // namespace linora::detector
