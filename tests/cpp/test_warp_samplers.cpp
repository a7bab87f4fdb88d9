// Point samplers and the Lanczos weight table.
#include "images.hpp"
#include "warp/samplers.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using linora::LanczosTable;
using test_images::random_raster;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

const LanczosTable& table() {
    static const auto t = linora::lanczos3_table();
    return *t;
}

enum class Kind { Bilinear, Lanczos, LanczosClamped };

// Samples with the given kernel into a pixel pre-filled with `fill`, so that
// "nothing written" is visible.
template <class T, std::size_t C>
std::array<T, C> sample(Kind kind, const std::vector<T>& src, std::size_t w, std::size_t h,
                        double x, double y, T fill = 77) {
    std::array<T, C> out;
    out.fill(fill);
    const std::span<T, C> px(out);
    switch (kind) {
    case Kind::Bilinear:
        linora::sample_bilinear<T, C>(src, w, h, x, y, px);
        break;
    case Kind::Lanczos:
        linora::sample_lanczos3<T, C>(src, w, h, table(), x, y, px);
        break;
    case Kind::LanczosClamped:
        linora::sample_lanczos3<T, C, false>(src, w, h, table(), x, y, px);
        break;
    }
    return out;
}

template <class T, std::size_t C>
std::array<T, C> pixel(const std::vector<T>& src, std::size_t w, std::size_t x, std::size_t y) {
    std::array<T, C> p;
    for (std::size_t c = 0; c < C; ++c)
        p[c] = src[(y * w + x) * C + c];
    return p;
}

TEST(WarpTable, StatedRowsAndNormalisation) {
    const auto& t = table();
    const double row512[] = {0.024457, -0.135870, 0.611413, 0.611413, -0.135870, 0.024457};
    const double row256[] = {0.030112, -0.133275, 0.892771, 0.271011, -0.067997, 0.007378};
    for (int j = 0; j < 6; ++j) {
        EXPECT_NEAR(t[512][j], row512[j], 1e-6) << j;
        EXPECT_NEAR(t[256][j], row256[j], 1e-6) << j;
    }
    for (std::size_t k = 0; k < t.size(); ++k) {
        double s = 0;
        for (double v : t[k])
            s += v;
        EXPECT_NEAR(s, 1.0, 1e-12) << "row " << k;
        // Offset t and 1 - t are mirror images of each other.
        for (int j = 0; j < 6; ++j)
            EXPECT_NEAR(t[k][j], t[1024 - k][5 - j], 1e-12);
    }
}

TEST(WarpTable, EndRowsPutTheWeightOnOnePixel) {
    const auto& t = table();
    EXPECT_EQ(t[0][5], 0.0);
    EXPECT_NEAR(t[0][2], 1.0, 1e-14);
    EXPECT_EQ(t[1024][0], 0.0);
    EXPECT_NEAR(t[1024][3], 1.0, 1e-14);
    for (int j : {0, 1, 3, 4})
        EXPECT_LT(std::fabs(t[0][j]), 1e-15) << j;
    // Row 1024 holds the same raw weights as row 0, one tap later, summed in
    // the same order: identical bits.
    for (int j = 0; j < 5; ++j)
        EXPECT_EQ(t[1024][j + 1], t[0][j]) << j;
}

TEST(WarpBilinear, CentresAndHalfWay) {
    const std::vector<std::uint8_t> row = {10, 11, 200, 3};
    for (std::size_t x = 0; x < 4; ++x)
        EXPECT_EQ((sample<std::uint8_t, 1>(Kind::Bilinear, row, 4, 1, double(x), 0)[0]), row[x]);
    EXPECT_EQ((sample<std::uint8_t, 1>(Kind::Bilinear, row, 4, 1, 0.5, 0)[0]), 11); // 10.5 -> 11
    EXPECT_EQ((sample<std::uint8_t, 1>(Kind::Bilinear, row, 4, 1, 2.5, 0)[0]), 102);
    EXPECT_EQ((sample<std::uint8_t, 1>(Kind::Bilinear, row, 4, 1, 1.25, 0)[0]), 58); // 58.25
}

// In the half-pixel border both neighbours are the edge pixel.
TEST(WarpBilinear, BorderReplicatesTheEdge) {
    const std::size_t w = 5, h = 4;
    const auto src = random_raster<std::uint16_t>(w * h * 3, 1);
    auto at = [&](double x, double y) {
        return sample<std::uint16_t, 3>(Kind::Bilinear, src, w, h, x, y);
    };
    for (double inner : {0.3, 2.6}) {
        for (double b : {-0.5, -0.25, -1e-9, 0.0}) {
            EXPECT_EQ(at(b, inner), at(0, inner)) << b;
            EXPECT_EQ(at(inner, b), at(inner, 0)) << b;
        }
        for (double b : {0.0, 0.2, 0.5}) {
            EXPECT_EQ(at(w - 1 + b, inner), at(w - 1, inner)) << b;
            EXPECT_EQ(at(inner, h - 1 + b), at(inner, h - 1)) << b;
        }
    }
}

// -0.5 and w - 0.5 are inside, anything beyond (and any infinity) is outside.
TEST(WarpSamplers, RangeTestBounds) {
    const std::size_t w = 5, h = 4;
    const auto src = random_raster<std::uint8_t>(w * h * 3, 2);
    const std::array<std::uint8_t, 3> untouched = {77, 77, 77};
    for (Kind k : {Kind::Bilinear, Kind::Lanczos}) {
        for (auto [x, y] : {std::pair{-0.5, 1.0}, {w - 0.5, 1.0}, {1.0, -0.5}, {1.0, h - 0.5}})
            EXPECT_NE((sample<std::uint8_t, 3>(k, src, w, h, x, y)), untouched) << x << "," << y;
        EXPECT_EQ((sample<std::uint8_t, 3>(Kind::Bilinear, src, w, h, w - 0.5, 3.0)),
                  (pixel<std::uint8_t, 3>(src, w, w - 1, 3)));
        for (auto [x, y] : {std::pair{-0.5 - 1e-9, 1.0},
                            {w - 0.5 + 1e-9, 1.0},
                            {1.0, -0.5 - 1e-9},
                            {1.0, h - 0.5 + 1e-9},
                            {inf, 1.0},
                            {-inf, 1.0},
                            {1.0, inf},
                            {1.0, -inf},
                            {nan, inf},
                            {-inf, nan},
                            {nan, 2.0},
                            {2.0, nan},
                            {nan, nan}})
            EXPECT_EQ((sample<std::uint8_t, 3>(k, src, w, h, x, y)), untouched) << x << "," << y;
    }
}

TEST(WarpSamplers, OneByOneRasterEverywhere) {
    const std::vector<std::uint16_t> src = {65535, 1, 40000};
    const std::array<std::uint16_t, 3> px = {65535, 1, 40000};
    for (Kind k : {Kind::Bilinear, Kind::Lanczos})
        for (double x = -0.5; x <= 0.5; x += 0.125)
            for (double y = -0.5; y <= 0.5; y += 0.125)
                EXPECT_EQ((sample<std::uint16_t, 3>(k, src, 1, 1, x, y)), px) << x << "," << y;
}

// At pixel centres the side lobes are tiny and vanish in quantisation.
TEST(WarpLanczos, PixelCentresAreExact) {
    const std::size_t w = 9, h = 8;
    const auto src = random_raster<std::uint16_t>(w * h * 3, 4);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            EXPECT_EQ((sample<std::uint16_t, 3>(Kind::Lanczos, src, w, h, double(x), double(y))),
                      (pixel<std::uint16_t, 3>(src, w, x, y)));
}

// Beside a step from 0 to the maximum the kernel over- and undershoots; the
// results saturate instead of wrapping.
template <class T> void check_overshoot() {
    const T top = std::numeric_limits<T>::max();
    std::vector<T> src(10 * 3, 0);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 5; x < 10; ++x)
            src[y * 10 + x] = top;
    EXPECT_EQ((sample<T, 1>(Kind::Lanczos, src, 10, 3, 5.25, 1.0)[0]), top);
    EXPECT_EQ((sample<T, 1>(Kind::Lanczos, src, 10, 3, 3.75, 1.0)[0]), 0);
}

TEST(WarpLanczos, OvershootSaturates) {
    check_overshoot<std::uint8_t>();
    check_overshoot<std::uint16_t>();
}

// The phase index rounds halves away from zero: 1023.5 / 1024 takes row
// 1024 (the next pixel), 0.5 / 1024 takes row 1.
TEST(WarpLanczos, PhaseIndexRounding) {
    const std::size_t w = 12, h = 7;
    std::vector<std::uint16_t> src(w * h, 0);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 6; x < w; ++x)
            src[y * w + x] = 65535;
    auto at = [&](double x) { return sample<std::uint16_t, 1>(Kind::Lanczos, src, w, h, x, 3)[0]; };
    ASSERT_NE(at(5 + 1023.0 / 1024), at(6.0)); // rows 1023 and 1024 differ here
    EXPECT_EQ(at(5 + 1023.5 / 1024), at(6.0));
    EXPECT_EQ(at(5 + 1023.4 / 1024), at(5 + 1023.0 / 1024));
    ASSERT_NE(at(5 + 1.0 / 1024), at(5.0)); // rows 0 and 1 differ here
    EXPECT_EQ(at(5 + 0.5 / 1024), at(5 + 1.0 / 1024));
    EXPECT_EQ(at(5 + 0.4 / 1024), at(5.0));
}

// The unclamped interior path gives the same result as clamping every tap,
// including at the positions where the interior test flips.
template <class T, std::size_t C> void check_fast_path(std::uint32_t seed) {
    const std::size_t w = 11, h = 9;
    const auto src = random_raster<T>(w * h * C, seed);
    auto same = [&](double x, double y) {
        EXPECT_EQ((sample<T, C>(Kind::Lanczos, src, w, h, x, y)),
                  (sample<T, C>(Kind::LanczosClamped, src, w, h, x, y)))
            << x << "," << y;
    };
    for (double y = -0.5; y <= h - 0.5; y += 0.375)
        for (double x = -0.5; x <= w - 0.5; x += 0.125)
            same(x, y);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> ux(1.5, w - 2.5), uy(1.5, h - 2.5);
    for (int i = 0; i < 2000; ++i)
        same(ux(gen), uy(gen));
}

TEST(WarpLanczos, FastPathMatchesClampedPath) {
    check_fast_path<std::uint8_t, 1>(5);
    check_fast_path<std::uint8_t, 3>(6);
    check_fast_path<std::uint16_t, 1>(7);
    check_fast_path<std::uint16_t, 3>(8);
}

// On a raster without pixels only -0.5 along the empty dimension passes the
// range test; sampling there is refused, never read out of bounds. NaN is
// outside like everywhere else.
TEST(WarpSamplers, EmptyRasterRefusesPositionsThatPass) {
    const std::vector<std::uint8_t> none;
    for (Kind k : {Kind::Bilinear, Kind::Lanczos, Kind::LanczosClamped}) {
        for (auto [w, h, x, y] :
             {std::tuple{0, 3, -0.5, 1.0}, {4, 0, 1.0, -0.5}, {0, 0, -0.5, -0.5}}) {
            try {
                sample<std::uint8_t, 1>(k, none, w, h, x, y);
                ADD_FAILURE() << "no error at " << x << "," << y;
            } catch (const linora::InternalError& e) {
                EXPECT_STREQ(e.what(), "cannot clamp an index to the empty range 0..=-1");
            }
        }
        EXPECT_EQ((sample<std::uint8_t, 1>(k, none, 0, 3, 0.0, 1.0)[0]), 77);
        EXPECT_EQ((sample<std::uint8_t, 1>(k, none, 4, 0, 1.0, -1.0)[0]), 77);
        EXPECT_EQ((sample<std::uint8_t, 1>(k, none, 0, 3, nan, 1.0)[0]), 77);
        EXPECT_EQ((sample<std::uint8_t, 1>(k, none, 4, 0, 2.0, nan)[0]), 77);
    }
}

} // namespace
