// Several threads running detection, resampling and bare parallel loops at
// once get exactly the results of the same calls made one after another.
#include "detector/detect.hpp"
#include "pool.hpp"
#include "warp/resample.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <thread>
#include <variant>
#include <vector>

namespace {

using namespace linora;

// A deterministic gray scene: bright bars on a noisy background.
std::vector<std::uint8_t> scene(std::uint32_t seed, std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> img(w * h);
    std::uint32_t s = seed * 2654435761u + 1;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            int v = 50 + static_cast<int>(s >> 28);
            if ((x + 2 * y + seed) % 37 < 5 || (3 * x + y) % 53 < 4) v += 120;
            img[y * w + x] = static_cast<std::uint8_t>(v);
        }
    return img;
}

struct Outputs {
    std::vector<Segment> segments;
    std::vector<std::uint8_t> warped, remapped;
    std::vector<std::size_t> loop;
};

Outputs run_all(std::uint32_t seed) {
    const std::size_t w = 96, h = 72;
    Outputs o;
    auto gray = scene(seed, w, h);
    o.segments = std::get<0>(detect<std::uint8_t>(gray, w, h, 0.8));

    std::vector<std::uint8_t> rgb(w * h * 3);
    for (std::size_t i = 0; i < w * h; ++i)
        for (std::size_t c = 0; c < 3; ++c)
            rgb[i * 3 + c] = static_cast<std::uint8_t>(gray[i] + 40 * c);
    const std::array<double, 9> inv{0.9, 0.1, 3.0, -0.05, 1.1, -2.0, 1e-4, 2e-4, 1.0};
    auto warped = std::get<0>(
        warp_rgb<std::uint8_t>(rgb, w, h, 80, 60, inv, Filter::Lanczos3, 1.2, 0.5, -1.0));
    o.warped.assign(warped.data(), warped.data() + warped.size());

    std::vector<float> mx(50 * 40), my(50 * 40);
    for (std::size_t i = 0; i < mx.size(); ++i) {
        mx[i] = static_cast<float>((i * 7 + seed) % 110) - 5.5f;
        my[i] = static_cast<float>((i * 3 + seed) % 80) * 0.9f;
    }
    auto remapped =
        std::get<0>(remap<std::uint8_t, 1>(gray, w, h, mx, my, 50, 40, Filter::Bilinear));
    o.remapped.assign(remapped.data(), remapped.data() + remapped.size());

    o.loop.assign(301, 0);
    parallel_rows(o.loop.size(), 1, [&](std::size_t r) { o.loop[r] = r * r + seed; });
    return o;
}

bool same(const Outputs& a, const Outputs& b) {
    if (a.segments.size() != b.segments.size()) return false;
    for (std::size_t i = 0; i < a.segments.size(); ++i) {
        const Segment &s = a.segments[i], &t = b.segments[i];
        if (s.x1 != t.x1 || s.y1 != t.y1 || s.x2 != t.x2 || s.y2 != t.y2 || s.width != t.width ||
            s.precision != t.precision || s.log_nfa != t.log_nfa)
            return false;
    }
    return a.warped == b.warped && a.remapped == b.remapped && a.loop == b.loop;
}

TEST(Concurrency, ThreadsGetTheSequentialResults) {
    constexpr int kThreads = 6, kRounds = 4;
    std::vector<Outputs> expected;
    for (int t = 0; t < kThreads; ++t)
        expected.push_back(run_all(static_cast<std::uint32_t>(t)));
    ASSERT_FALSE(expected[0].segments.empty());

    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                if (!same(run_all(static_cast<std::uint32_t>(t)), expected[t])) mismatches[t]++;
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

} // namespace
