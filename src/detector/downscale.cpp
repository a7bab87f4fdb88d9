#include "detector/downscale.hpp"

#include "detector/samples.hpp"
#include "detector/vector_loops.hpp"

#include "buffer.hpp"
#include "pool.hpp"
#include "saturating.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
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

// Smoothing and picking in two row-parallel passes that compute only what
// the output reads: the horizontal pass keeps the smoothed samples of the
// picked columns (all rows, since the vertical taps reach them), and the
// vertical pass smooths only the picked rows, straight into the output. Each
// kept sample is the sum of the full-resolution smoothing, with the same
// products added in the same order.
template <class T>
Raster downscale(std::span<const T> in, std::size_t w, std::size_t h, double scale) {
    const GaussianKernel g = gaussian_kernel(scale);
    const std::size_t taps = g.weights.size();
    const std::size_t half = g.half;
    const double* kern = g.weights.data();
    const VectorLoops& loops = vector_loops();

    Raster out;
    out.width = subsampled_size(scale, w);
    out.height = subsampled_size(scale, h);
    const std::size_t ow = out.width;
    std::vector<std::size_t> columns(ow);
    for (std::size_t x = 0; x < ow; ++x)
        columns[x] = source_index(x, scale, w);

    // Horizontal pass. A row is first laid out with `half` replicated edge
    // samples on each side, so that every column's window is contiguous;
    // tap k of column x is then padded[x + k], the sample at
    // clamp(x + k - half, 0, w - 1). The sums run tap by tap from zero over
    // the whole row.
    Array<double> t1(size_product(ow, h)); // every row is written
    parallel_rows(h, w, [&](std::size_t y) {
        const std::unique_ptr<double[]> padded(new double[w + 2 * half]);
        std::vector<double> smooth(w, 0.0);
        const T* src = in.data() + y * w;
        for (std::size_t i = 0; i < w + 2 * half; ++i)
            padded[i] = working_value(src[clamped_tap(i, 0, half, w)]);
        for (std::size_t k = 0; k < taps; ++k)
            loops.accumulate_scaled(smooth.data(), padded.get() + k, kern[k], w);
        double* dst = t1.data() + y * ow;
        for (std::size_t x = 0; x < ow; ++x)
            dst[x] = smooth[columns[x]];
    });

    // Vertical pass of the picked rows, tap by tap over whole rows of t1.
    out.samples = Array<double>(size_product(ow, out.height));
    parallel_rows(out.height, ow, [&](std::size_t y) {
        const std::size_t sy = source_index(y, scale, h);
        double* dst = out.samples.data() + y * ow;
        std::fill(dst, dst + ow, 0.0);
        for (std::size_t k = 0; k < taps; ++k)
            loops.accumulate_scaled(dst, t1.data() + clamped_tap(sy, k, half, h) * ow, kern[k], ow);
    });
    return out;
}

#define LINORA_INSTANCE(T)                                                                         \
    template Raster downscale<T>(std::span<const T>, std::size_t, std::size_t, double);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora::detector
