#include "detector/level_lines.hpp"

#include "detector/samples.hpp"
#include "detector/vector_loops.hpp"

#include "buffer.hpp"
#include "huge_pages.hpp"
#include "pool.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

namespace linora::detector {

namespace {

// Seed ordering works on chunks of about this many cells, at most this many.
constexpr std::size_t kSeedChunkCells = 1 << 15;
constexpr std::size_t kMaxSeedChunks = 64;

} // namespace

template <class T> Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h) {
    const VectorLoops& loops = vector_loops();
    Array<Px> field(size_product(w, h));
    if (w == 0 || h == 0) return field;
    // Each row y of the field reads rows y and y + 1 of the raster and writes
    // only its own cells; the last column and the last row have no 2 x 2
    // block and are written as zeros. Other sample types than double are
    // converted two rows at a time, so no converted copy of the whole raster
    // is made.
    parallel_rows(h, w, [&](std::size_t y) {
        Px* out = field.data() + y * w;
        if (y + 1 == h || w == 1) {
            std::fill(out, out + w, Px{0.0f, 0.0f, 0.0f});
            return;
        }
        const T* top = in.data() + y * w;
        // Uninitialised: every element is written before it is read.
        const std::unique_ptr<double[]> scratch(
            new double[std::is_same_v<T, double> ? 3 * w : 5 * w]);
        if constexpr (std::is_same_v<T, double>) {
            loops.field_row(top, top + w, w, out, scratch.get());
        } else {
            double* rows = scratch.get() + 3 * w;
            to_working(top, rows, 2 * w);
            loops.field_row(rows, rows + w, w, out, scratch.get());
        }
        out[w - 1] = Px{0.0f, 0.0f, 0.0f};
    });
    return field;
}

#define LINORA_INSTANCE(T)                                                                         \
    template Array<Px> level_line_field<T>(std::span<const T>, std::size_t, std::size_t);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    std::vector<std::uint32_t> seeds;
    if (field.empty()) return seeds;
    const VectorLoops& loops = vector_loops();

    // The field is cut into consecutive chunks that workers handle in
    // parallel; combining the chunks in index order gives exactly the result
    // of one pass over the whole field.
    const std::size_t n = field.size();
    const std::size_t chunks = std::clamp<std::size_t>(n / kSeedChunkCells, 1, kMaxSeedChunks);
    auto chunk_begin = [&](std::size_t c) { return n / chunks * c + std::min(c, n % chunks); };

    // The largest norm, NaNs ignored (as std::fmax would).
    std::vector<float> chunk_max(chunks, 0.0f);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        chunk_max[c] =
            loops.max_norm(field.data() + chunk_begin(c), chunk_begin(c + 1) - chunk_begin(c));
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
        loops.seed_bins(field.data() + begin, end - begin, max, threshold, bins.get() + begin);
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
