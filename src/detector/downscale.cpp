#include "detector/downscale.hpp"

#include "pool.hpp"
#include "sample.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace linora::detector {

namespace {

constexpr double kSigmaScale = 0.6;
// sqrt(6 ln 10): the Gaussian is 1/1000 of its peak this many sigmas away.
constexpr double kKernelReach = 3.7169221888498383;

// Index of tap k of a kernel of half-size half centred on i, clamped to
// [0, n - 1] (edge replication), computed as a signed value.
inline std::size_t clamped_tap(std::size_t i, std::size_t k, std::size_t half, std::size_t n) {
    const std::int64_t j = static_cast<std::int64_t>(i) + static_cast<std::int64_t>(k) -
                           static_cast<std::int64_t>(half);
    if (j < 0) return 0;
    if (static_cast<std::uint64_t>(j) > n - 1) return n - 1;
    return static_cast<std::size_t>(j);
}

} // namespace

GaussianKernel gaussian_kernel(double scale) {
    const double sigma = kSigmaScale / scale;
    GaussianKernel g;
    g.half = saturating_trunc<std::size_t>(std::ceil(sigma * kKernelReach));
    // Kernels this wide cannot be smoothed with; only reachable for scales
    // that leave an output dimension below 3, which the driver never passes.
    if (g.half > (std::numeric_limits<std::size_t>::max() - 1) / 2 / sizeof(double))
        throw std::bad_alloc();
    const std::size_t taps = 2 * g.half + 1;
    g.weights.resize(taps);
    double sum = 0.0;
    for (std::size_t k = 0; k < taps; ++k) {
        const double t = (static_cast<double>(k) - static_cast<double>(g.half)) / sigma;
        g.weights[k] = std::exp((t * t) * -0.5);
        sum += g.weights[k];
    }
    for (double& v : g.weights)
        v /= sum;
    return g;
}

std::size_t subsampled_size(double scale, std::size_t n) {
    return saturating_floor<std::size_t>(scale * static_cast<double>(n));
}

std::size_t source_index(std::size_t i, double scale, std::size_t n) {
    const std::size_t s = saturating_trunc<std::size_t>(static_cast<double>(i) / scale);
    return s < n - 1 ? s : n - 1;
}

Raster downscale(std::span<const double> in, std::size_t w, std::size_t h, double scale) {
    const GaussianKernel g = gaussian_kernel(scale);
    const std::size_t taps = g.weights.size();
    const std::size_t half = g.half;
    const double* kern = g.weights.data();

    // Horizontal pass: each output sample accumulates its taps in increasing
    // k from zero. Columns whose whole window lies inside the row need no
    // clamping; the sums are the same either way.
    std::vector<double> t1(checked_mul(w, h), 0.0);
    parallel_rows(h, w, [&](std::size_t y) {
        const double* src = in.data() + y * w;
        double* dst = t1.data() + y * w;
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            if (x >= half && w - 1 - x >= half) {
                const double* s = src + (x - half);
                for (std::size_t k = 0; k < taps; ++k)
                    acc += kern[k] * s[k];
            } else {
                for (std::size_t k = 0; k < taps; ++k)
                    acc += kern[k] * src[clamped_tap(x, k, half, w)];
            }
            dst[x] = acc;
        }
    });

    // Vertical pass: the row is accumulated tap by tap over whole source
    // rows, which gives every sample the same sum in the same order as a
    // per-sample loop over k, with contiguous reads.
    std::vector<double> t2(checked_mul(w, h), 0.0);
    parallel_rows(h, w, [&](std::size_t y) {
        double* dst = t2.data() + y * w;
        for (std::size_t k = 0; k < taps; ++k) {
            const double* src = t1.data() + clamped_tap(y, k, half, h) * w;
            const double gk = kern[k];
            for (std::size_t x = 0; x < w; ++x)
                dst[x] += gk * src[x];
        }
    });

    Raster out;
    out.width = subsampled_size(scale, w);
    out.height = subsampled_size(scale, h);
    std::vector<std::size_t> columns(out.width);
    for (std::size_t x = 0; x < out.width; ++x)
        columns[x] = source_index(x, scale, w);
    out.samples.assign(checked_mul(out.width, out.height), 0.0);

    // Picking: every output row reads the smoothed row its index maps to.
    parallel_rows(out.height, out.width, [&](std::size_t y) {
        const double* src = t2.data() + source_index(y, scale, h) * w;
        double* dst = out.samples.data() + y * out.width;
        for (std::size_t x = 0; x < out.width; ++x)
            dst[x] = src[columns[x]];
    });
    return out;
}

} // namespace linora::detector
