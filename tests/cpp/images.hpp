// The inputs of the C++ tests: rasters, level-line fields, coordinate maps
// and lists of values, each from a fixed seed, so that a test sees the same
// input on every run and every machine. Two generators: the linear
// congruential one of the hand-made scenes (Lcg) and std::mt19937 for the
// random rasters and values.
#pragma once

#include "detector/types.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

namespace test_images {

// The linear congruential generator of Numerical Recipes.
struct Lcg {
    std::uint32_t state;
    std::uint32_t next() { return state = state * 1664525u + 1013904223u; }
};

// n samples spread over T's whole range.
template <class T> std::vector<T> random_raster(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::uint32_t> dist(0, std::numeric_limits<T>::max());
    std::vector<T> v(n);
    for (auto& s : v)
        s = static_cast<T>(dist(gen));
    return v;
}

// n values of `dist`, with the special values mixed in: each value draws k
// in [0, choices) first, and is specials[k] where k < specials.size(), a
// draw of `dist` otherwise.
template <class T, class Rng, class Dist>
std::vector<T> with_specials(std::size_t n, Rng& rng, Dist dist, std::span<const T> specials,
                             int choices) {
    std::uniform_int_distribution<int> pick(0, choices - 1);
    std::vector<T> v(n);
    for (T& x : v) {
        const int k = pick(rng);
        x = k < static_cast<int>(specials.size()) ? specials[static_cast<std::size_t>(k)]
                                                  : dist(rng);
    }
    return v;
}

// A gray w x h image of noise (whole numbers 0 to 255).
inline std::vector<double> noise_image(std::size_t w, std::size_t h, std::uint32_t seed) {
    std::vector<double> v(w * h);
    Lcg lcg{seed};
    for (double& x : v)
        x = static_cast<double>(lcg.next() >> 24);
    return v;
}

// A gray scene: bright bars on a noisy background.
inline std::vector<std::uint8_t> bars_scene(std::uint32_t seed, std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> img(w * h);
    Lcg lcg{seed * 2654435761u + 1};
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            int v = 50 + static_cast<int>(lcg.next() >> 28);
            if ((x + 2 * y + seed) % 37 < 5 || (3 * x + y) % 53 < 4) v += 120;
            img[y * w + x] = static_cast<std::uint8_t>(v);
        }
    return img;
}

// A dark rectangle rotated by `angle` on a bright background, 4 x 4
// super-sampled, plus uniform noise of +-noise.
inline std::vector<std::uint8_t> rotated_rectangle(std::size_t w, std::size_t h, double angle,
                                                   double noise, std::uint32_t seed = 1u) {
    std::vector<std::uint8_t> img(w * h);
    const double cx = w / 2.0, cy = h / 2.0, a = w * 0.3, b = h * 0.2;
    const double c = std::cos(angle), s = std::sin(angle);
    Lcg lcg{seed};
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            int inside = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) {
                    const double px = x + (sx + 0.5) / 4 - cx, py = y + (sy + 0.5) / 4 - cy;
                    const double u = c * px + s * py, v = -s * px + c * py;
                    inside += std::fabs(u) <= a && std::fabs(v) <= b;
                }
            const double n = ((lcg.next() >> 8) / 16777216.0 * 2.0 - 1.0) * noise;
            const double v = 190.0 - 130.0 * inside / 16.0 + n;
            img[y * w + x] =
                static_cast<std::uint8_t>(std::lround(std::fmin(255, std::fmax(0, v))));
        }
    return img;
}

// A level-line field of n cells with norms in [0, 40) and no direction;
// `awkward` mixes in NaN, negative, zero, subnormal norms and norms at and
// just above the gradient threshold.
inline std::vector<linora::detector::Px> random_norms(std::size_t n, std::uint32_t seed,
                                                      bool awkward) {
    using linora::detector::kGradientThreshold;
    std::mt19937 rng(seed);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              -3.0f,
                              -0.0f,
                              0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              kGradientThreshold,
                              std::nextafter(kGradientThreshold, 100.0f),
                              40.0f};
    const std::vector<float> norms = with_specials<float>(
        n, rng, std::uniform_real_distribution<float>(0.0f, 40.0f),
        awkward ? std::span<const float>(specials) : std::span<const float>(), 100);
    std::vector<linora::detector::Px> f(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i].norm = norms[i];
    return f;
}

// A w x h level-line field of random directions and norms in [0, 12).
template <class Rng>
std::vector<linora::detector::Px> random_field(std::size_t w, std::size_t h, Rng& rng) {
    std::uniform_real_distribution<float> angle(-3.1415927f, 3.1415927f);
    std::uniform_real_distribution<float> norm(0.0f, 12.0f);
    std::vector<linora::detector::Px> f(w * h);
    for (linora::detector::Px& p : f) {
        const float a = angle(rng);
        p = linora::detector::Px{norm(rng), std::cos(a), std::sin(a)};
    }
    return f;
}

// Doubles in [-300, 300) with NaN, the infinities, the zeros, the smallest
// subnormal and +-1e300 mixed in (one value in ten).
inline std::vector<double> values_with_specials(std::size_t n, std::mt19937& rng) {
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               -0.0,
                               0.0,
                               std::numeric_limits<double>::denorm_min(),
                               -1e300,
                               1e300};
    return with_specials<double>(n, rng, std::uniform_real_distribution<double>(-300.0, 300.0),
                                 specials, 80);
}

// Coordinate maps: the x and y positions of each output pixel.
struct Maps {
    std::vector<float> x, y;
};

inline Maps identity_maps(std::size_t w, std::size_t h) {
    Maps m;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            m.x.push_back(float(x));
            m.y.push_back(float(y));
        }
    return m;
}

// n positions uniform in [x0, x1) x [y0, y1), x drawn before y.
inline Maps random_maps(std::size_t n, float x0, float x1, float y0, float y1, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> ux(x0, x1), uy(y0, y1);
    Maps m;
    for (std::size_t i = 0; i < n; ++i) {
        m.x.push_back(ux(gen));
        m.y.push_back(uy(gen));
    }
    return m;
}

// Map values along a raster dimension of `size` pixels: mostly random
// positions over and around it, with the edge values, the last pixel, NaN
// and infinities mixed in (one value in three).
inline std::vector<float> positions_with_specials(std::size_t n, std::size_t size,
                                                  std::mt19937& rng) {
    const float edge = static_cast<float>(size) - 0.5f;
    const float specials[] = {-0.5f,
                              edge,
                              static_cast<float>(size) - 1.0f,
                              static_cast<float>(size) - 1.25f,
                              -0.75f,
                              0.0f,
                              std::nextafter(edge, 1e9f),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              1023.5f / 1024.0f,
                              0.5f / 1024.0f};
    return with_specials<float>(
        n, rng, std::uniform_real_distribution<float>(-3.0f, static_cast<float>(size) + 2.0f),
        specials, 3 * 12);
}

// Map values that sweep a raster dimension of `size` pixels and its margin
// smoothly, row by row (along_x) or column by column, as a lens correction
// does.
inline std::vector<float> sweep(std::size_t out_w, std::size_t out_h, std::size_t size,
                                bool along_x, std::mt19937& rng) {
    std::uniform_real_distribution<float> jitter(-0.02f, 0.02f);
    std::vector<float> v(out_w * out_h);
    const std::size_t steps = along_x ? out_w : out_h;
    const float step = (static_cast<float>(size) + 2.0f) / static_cast<float>(steps);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::size_t k = along_x ? i % out_w : i / out_w;
        v[i] = -1.25f + static_cast<float>(k) * step + jitter(rng);
    }
    return v;
}

} // namespace test_images
