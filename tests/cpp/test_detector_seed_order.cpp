// seeds_by_norm works on the field in parallel chunks with vectorised bin
// computations; its order must be exactly that of the one-pass bucket sort
// over 1024 bins, on fields large enough to be split and with the awkward
// norms: NaN, infinity, negative, subnormal, zero, equal to the threshold.
#include "detector/level_lines.hpp"
#include "saturating.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace linora::detector;

// The definition, one cell at a time.
std::vector<std::uint32_t> reference_seeds(const std::vector<Px>& field, float threshold) {
    float max = 0.0f;
    for (const Px& c : field)
        max = std::fmax(max, c.norm);
    if (field.empty() || max <= 0.0f) return {};
    std::vector<std::vector<std::uint32_t>> bins(1024);
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i].norm <= threshold) continue;
        const std::size_t b =
            linora::saturating_trunc<std::size_t>((field[i].norm / max) * 1023.0f);
        bins[b < 1023 ? b : 1023].push_back(static_cast<std::uint32_t>(i));
    }
    std::vector<std::uint32_t> out;
    for (std::size_t b = 1024; b-- > 0;)
        out.insert(out.end(), bins[b].begin(), bins[b].end());
    return out;
}

std::vector<Px> random_norms(std::size_t n, std::uint32_t seed, bool awkward) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> norm(0.0f, 40.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              -3.0f,
                              -0.0f,
                              0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              kGradientThreshold,
                              std::nextafter(kGradientThreshold, 100.0f),
                              40.0f};
    std::vector<Px> f(n);
    for (Px& c : f) {
        const int k = pick(rng);
        c.norm = awkward && k < 8 ? specials[k] : norm(rng);
    }
    return f;
}

TEST(SeedOrder, MatchesOnePassBucketSort) {
    for (std::size_t n : {1u, 17u, 1000u, 70000u, 300001u})
        for (bool awkward : {false, true}) {
            const std::vector<Px> f = random_norms(n, static_cast<std::uint32_t>(n), awkward);
            ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold))
                << n << " " << awkward;
        }
}

// A single largest norm, at every position of a field of a few hundred
// cells: the maximum must be found wherever it stands.
TEST(SeedOrder, SingleMaximumAnywhere) {
    for (std::size_t p = 0; p < 100; ++p) {
        std::vector<Px> f = random_norms(300, static_cast<std::uint32_t>(p), false);
        f[p].norm = 1000.0f;
        ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold))
            << p;
    }
}

// An infinite norm makes the maximum infinite: every finite norm falls in
// bin 0 and the infinite ones (inf / inf is NaN) too.
TEST(SeedOrder, InfiniteMaximum) {
    std::vector<Px> f = random_norms(100000, 5, true);
    f[777].norm = std::numeric_limits<float>::infinity();
    f[99999].norm = std::numeric_limits<float>::infinity();
    ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold));
}

} // namespace
