#include "detector/downscale.hpp"
#include "detector/level_lines.hpp"
#include "images.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using namespace linora::detector;
using test_images::noise_image;

struct KernelCase {
    double scale;
    std::size_t half;
};

class DownscaleKernel : public ::testing::TestWithParam<KernelCase> {};

// Half-size ceil(0.6 / scale * sqrt(6 ln 10)); normalised symmetric weights.
TEST_P(DownscaleKernel, SizeSymmetryAndSum) {
    const auto [scale, half] = GetParam();
    const GaussianKernel g = gaussian_kernel(scale);
    EXPECT_EQ(g.half, half);
    ASSERT_EQ(g.weights.size(), 2 * half + 1);
    double sum = 0.0;
    for (std::size_t k = 0; k < g.weights.size(); ++k) {
        EXPECT_EQ(g.weights[k], g.weights[g.weights.size() - 1 - k]) << k;
        if (k < half) {
            EXPECT_LT(g.weights[k], g.weights[k + 1]) << k;
        }
        sum += g.weights[k];
    }
    EXPECT_NEAR(sum, 1.0, 1e-15);
}

INSTANTIATE_TEST_SUITE_P(Scales, DownscaleKernel,
                         ::testing::Values(KernelCase{0.5, 5}, KernelCase{0.8, 3},
                                           KernelCase{0.1, 23}));

TEST(DownscaleKernel, WeightsAtHalfScale) {
    const GaussianKernel g = gaussian_kernel(0.5);
    ASSERT_EQ(g.weights.size(), 11u);
    EXPECT_NEAR(g.weights[0], 5.65e-05, 0.01e-05);
    EXPECT_NEAR(g.weights[10], 5.65e-05, 0.01e-05);
    EXPECT_NEAR(g.weights[5], 0.3325, 0.0001);
}

TEST(DownscaleSize, RoundsDown) {
    EXPECT_EQ(subsampled_size(0.5, 101), 50u);
    EXPECT_EQ(subsampled_size(0.5, 5), 2u);
    EXPECT_EQ(subsampled_size(0.5, 6), 3u);
    EXPECT_EQ(subsampled_size(0.8, 640), 512u);
    EXPECT_EQ(subsampled_size(0.0, 100), 0u);
    EXPECT_EQ(subsampled_size(-0.0, 100), 0u);
    EXPECT_EQ(subsampled_size(-0.5, 100), 0u);
    EXPECT_EQ(subsampled_size(std::numeric_limits<double>::quiet_NaN(), 100), 0u);
}

TEST(DownscaleColumns, HalfScalePicksEvenColumns) {
    for (std::size_t x = 0; x < 50; ++x)
        EXPECT_EQ(source_index(x, 0.5, 101), 2 * x);
}

TEST(DownscaleColumns, ThirdScaleTruncates) {
    const std::size_t expected[] = {0, 3, 6, 10, 13, 16};
    for (std::size_t x = 0; x < 6; ++x)
        EXPECT_EQ(source_index(x, 0.3, 100), expected[x]) << x;
}

TEST(DownscaleColumns, ClampedToLastSample) {
    // 0.99 maps 2 to 2.02 -> 2, and the last index stays inside.
    EXPECT_EQ(source_index(2, 0.99, 3), 2u);
    EXPECT_EQ(source_index(5, 0.4, 4), 3u);
}

// Direct evaluation of the smoothing and picking, sample by sample: sums over
// clamped source positions, taps in increasing order, from zero.
std::vector<double> reference_downscale(const std::vector<double>& in, std::size_t w, std::size_t h,
                                        double scale) {
    const GaussianKernel g = gaussian_kernel(scale);
    const auto clamp = [](long long v, std::size_t n) {
        return static_cast<std::size_t>(std::clamp<long long>(v, 0, static_cast<long long>(n) - 1));
    };
    const long long half = static_cast<long long>(g.half);
    std::vector<double> t1(w * h), t2(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            for (std::size_t k = 0; k < g.weights.size(); ++k)
                acc =
                    acc + g.weights[k] * in[y * w + clamp(static_cast<long long>(x + k) - half, w)];
            t1[y * w + x] = acc;
        }
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            for (std::size_t k = 0; k < g.weights.size(); ++k)
                acc =
                    acc + g.weights[k] * t1[clamp(static_cast<long long>(y + k) - half, h) * w + x];
            t2[y * w + x] = acc;
        }
    const std::size_t ow = static_cast<std::size_t>(std::floor(scale * static_cast<double>(w)));
    const std::size_t oh = static_cast<std::size_t>(std::floor(scale * static_cast<double>(h)));
    std::vector<double> out(ow * oh);
    for (std::size_t y = 0; y < oh; ++y)
        for (std::size_t x = 0; x < ow; ++x)
            out[y * ow + x] =
                t2[std::min<std::size_t>(h - 1, static_cast<std::size_t>(y / scale)) * w +
                   std::min<std::size_t>(w - 1, static_cast<std::size_t>(x / scale))];
    return out;
}

struct ImageCase {
    std::size_t w, h;
    double scale;
};

class DownscaleImage : public ::testing::TestWithParam<ImageCase> {};

// Bit-identical to the direct evaluation, including kernels wider than the
// image (every tap clamped).
TEST_P(DownscaleImage, MatchesDirectEvaluation) {
    const auto [w, h, scale] = GetParam();
    const std::vector<double> in = noise_image(w, h, 12345u + static_cast<std::uint32_t>(w));
    const Raster out = downscale<double>(in, w, h, scale);
    ASSERT_EQ(out.width, subsampled_size(scale, w));
    ASSERT_EQ(out.height, subsampled_size(scale, h));
    const std::vector<double> ref = reference_downscale(in, w, h, scale);
    ASSERT_EQ(out.samples.size(), ref.size());
    for (std::size_t i = 0; i < ref.size(); ++i)
        ASSERT_EQ(out.samples[i], ref[i]) << i;
    // The field made strip by strip is the field of the whole raster, and
    // the marks made with its rows are those of its cells.
    const Array<Px> whole = level_line_field<double>(ref, out.width, out.height);
    std::vector<std::uint8_t> weak(whole.size(), 7);
    std::vector<float> row_max(out.height, -1.0f);
    const float threshold = 20.0f;
    const Array<Px> strips = subsampled_field<double>(
        in, w, h, scale, FieldRowMarks{weak.data(), row_max.data(), threshold});
    ASSERT_EQ(strips.size(), whole.size());
    EXPECT_EQ(std::memcmp(strips.data(), whole.data(), whole.size() * sizeof(Px)), 0);
    for (std::size_t y = 0; y < out.height; ++y) {
        float m = 0.0f;
        for (std::size_t x = 0; x < out.width; ++x) {
            const float norm = whole[y * out.width + x].norm;
            m = std::fmax(m, norm);
            ASSERT_EQ(weak[y * out.width + x], norm <= threshold ? 1 : 0) << x << " " << y;
        }
        ASSERT_EQ(row_max[y], m) << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownscaleImage,
                         ::testing::Values(ImageCase{6, 6, 0.5}, ImageCase{101, 7, 0.5},
                                           ImageCase{40, 33, 0.3}, ImageCase{37, 29, 0.8},
                                           ImageCase{12, 30, 0.25}, ImageCase{31, 260, 0.8},
                                           ImageCase{9, 700, 0.3}));

TEST(DownscaleImage, ConstantStaysConstant) {
    const std::size_t w = 23, h = 17;
    const std::vector<double> in(w * h, 77.25);
    for (double scale : {0.5, 0.8, 0.2}) {
        const Raster out = downscale<double>(in, w, h, scale);
        for (double v : out.samples)
            EXPECT_NEAR(v, 77.25, 1e-12) << scale;
    }
}

} // namespace
