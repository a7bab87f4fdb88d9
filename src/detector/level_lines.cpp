#include "detector/level_lines.hpp"

#include "detector/clones.hpp"
#include "detector/libm.hpp"
#include "detector/samples.hpp"

#include "huge_pages.hpp"
#include "pool.hpp"
#include "sample.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

namespace linora::detector {

namespace {

// Seed ordering works on chunks of about this many cells, at most this many.
constexpr std::size_t kSeedChunkCells = 1 << 15;
constexpr std::size_t kMaxSeedChunks = 64;

// Row y of the field from rows y and y + 1 of the raster (as 64-bit values),
// in three sweeps over the row so that the two without a library call run as
// vector loops (cloned for AVX-512/AVX2): the gradients, their magnitudes,
// then the cells. Each cell gets exactly the operations of the one-pass
// formula. `scratch` holds 3 * w doubles.
LINORA_VECTOR_CLONES void field_row(const double* __restrict top, const double* __restrict bottom,
                                    std::size_t w, Px* __restrict out, double* __restrict scratch) {
    const std::size_t n = w - 1;
    double* gx = scratch;
    double* gy = scratch + w;
    double* mag = scratch + 2 * w;
    for (std::size_t x = 0; x < n; ++x) {
        const double a = top[x];
        const double b = top[x + 1];
        const double c = bottom[x];
        const double d = bottom[x + 1];
        gx[x] = (((b + d) - a) - c) * 0.5;
        gy[x] = (((c + d) - a) - b) * 0.5;
    }
    for (std::size_t x = 0; x < n; ++x)
        mag[x] = library_hypot(gx[x], gy[x]);
    for (std::size_t x = 0; x < n; ++x) {
        // The level line is perpendicular to the gradient: its angle is
        // atan2(gx, -gy), stored as a unit vector. Cells without a gradient
        // (zero or NaN magnitude) stay zero.
        const bool has = mag[x] > 0.0;
        out[x].norm = has ? static_cast<float>(mag[x]) : 0.0f;
        out[x].cos_angle = has ? static_cast<float>(-gy[x] / mag[x]) : 0.0f;
        out[x].sin_angle = has ? static_cast<float>(gx[x] / mag[x]) : 0.0f;
    }
}

// The largest norm of cells [0, n), NaNs ignored, never below 0: as a chain
// of `norm > m ? norm : m` but over 16 interleaved partial maxima, so that it
// runs as vector code; a maximum does not depend on the order of its
// comparisons (ties of +0 and -0 aside, which leave a maximum of zero either
// way, and that gives no seeds).
LINORA_VECTOR_CLONES float max_norm(const Px* __restrict cells, std::size_t n) {
    float m[16] = {};
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        for (std::size_t l = 0; l < 16; ++l) {
            const float v = cells[i + l].norm;
            m[l] = v > m[l] ? v : m[l];
        }
    float r = 0.0f;
    for (; i < n; ++i)
        r = cells[i].norm > r ? cells[i].norm : r;
    for (float v : m)
        r = v > r ? v : r;
    return r;
}

constexpr std::uint16_t kNoBin = 0xFFFF;

// The seed bin of each of cells [0, n): min(1023, trunc((norm / max) * 1023))
// in single precision, with NaN and values not above 0 giving 0 (the
// saturating truncation), or kNoBin for a cell whose norm is at or below the
// threshold. Branch-free, so that it runs as vector code.
LINORA_VECTOR_CLONES void seed_bins(const Px* __restrict cells, std::size_t n, float max,
                                    float threshold, std::uint16_t* __restrict bins) {
    for (std::size_t i = 0; i < n; ++i) {
        const float norm = cells[i].norm;
        const float q = (norm / max) * 1023.0f;
        const float c = q >= 1023.0f ? 1023.0f : (q > 0.0f ? q : 0.0f);
        const auto b = static_cast<std::uint16_t>(static_cast<std::int32_t>(c));
        bins[i] = norm <= threshold ? kNoBin : b;
    }
}

template <class T>
std::vector<Px> level_line_field_of(std::span<const T> in, std::size_t w, std::size_t h) {
    std::vector<Px> field;
    field.reserve(checked_mul(w, h));
    advise_huge_pages(field.data(), field.capacity() * sizeof(Px));
    field.assign(field.capacity(), Px{0.0f, 0.0f, 0.0f});
    if (w < 2 || h < 2) return field;
    // Each row y of the field reads rows y and y + 1 of the raster and writes
    // only its own cells. Other sample types than double are converted two
    // rows at a time, so no converted copy of the whole raster is made.
    parallel_rows(h - 1, w, [&](std::size_t y) {
        const T* top = in.data() + y * w;
        Px* out = field.data() + y * w;
        // Uninitialised: every element is written before it is read.
        const std::unique_ptr<double[]> scratch(
            new double[std::is_same_v<T, double> ? 3 * w : 5 * w]);
        if constexpr (std::is_same_v<T, double>) {
            field_row(top, top + w, w, out, scratch.get());
        } else {
            double* rows = scratch.get() + 3 * w;
            to_working(top, rows, 2 * w);
            field_row(rows, rows + w, w, out, scratch.get());
        }
    });
    return field;
}

} // namespace

std::vector<Px> level_line_field(std::span<const double> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const float> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const std::uint8_t> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const std::uint16_t> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    std::vector<std::uint32_t> seeds;
    if (field.empty()) return seeds;

    // The field is cut into consecutive chunks that workers handle in
    // parallel; combining the chunks in index order gives exactly the result
    // of one pass over the whole field.
    const std::size_t n = field.size();
    const std::size_t chunks = std::clamp<std::size_t>(n / kSeedChunkCells, 1, kMaxSeedChunks);
    auto chunk_begin = [&](std::size_t c) { return n / chunks * c + std::min(c, n % chunks); };

    // The largest norm, NaNs ignored (as std::fmax would).
    std::vector<float> chunk_max(chunks, 0.0f);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        chunk_max[c] = max_norm(field.data() + chunk_begin(c), chunk_begin(c + 1) - chunk_begin(c));
    });
    float max = 0.0f;
    for (float m : chunk_max)
        max = m > max ? m : max;
    if (max <= 0.0f) return seeds;

    // Bucket sort: 1023 * norm / max, truncated, names the bin, so the cells
    // at the maximum fill the top bin. Counting first (per chunk) lets every
    // index go straight to its place in the output: bins are emitted from
    // the highest down, and within a bin the chunks in order, each in
    // increasing index order. The bins are computed once, 2 bytes a cell.
    const std::unique_ptr<std::uint16_t[]> bins(new std::uint16_t[n]);
    advise_huge_pages(bins.get(), n * sizeof(std::uint16_t));
    std::vector<std::size_t> start(chunks * kSeedBins, 0);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        const std::size_t begin = chunk_begin(c), end = chunk_begin(c + 1);
        seed_bins(field.data() + begin, end - begin, max, threshold, bins.get() + begin);
        std::size_t* count = start.data() + c * kSeedBins;
        for (std::size_t i = begin; i < end; ++i)
            if (bins[i] != kNoBin) ++count[bins[i]];
    });
    std::size_t total = 0;
    for (std::size_t b = kSeedBins; b-- > 0;)
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t count = start[c * kSeedBins + b];
            start[c * kSeedBins + b] = total;
            total += count;
        }
    seeds.reserve(total);
    advise_huge_pages(seeds.data(), total * sizeof(std::uint32_t));
    seeds.resize(total);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        std::size_t* next = start.data() + c * kSeedBins;
        for (std::size_t i = chunk_begin(c); i < chunk_begin(c + 1); ++i)
            if (bins[i] != kNoBin) seeds[next[bins[i]]++] = static_cast<std::uint32_t>(i);
    });
    return seeds;
}

} // namespace linora::detector
