// Coordinate-map remap: output pixel (x, y) samples the source at
// (map_x[y * out_w + x], map_y[y * out_w + x]).
#include "pool.hpp"
#include "warp/raster.hpp"
#include "warp/resample.hpp"
#include "warp/samplers.hpp"
#include "warp/vector_rows.hpp"

#include <memory>

namespace linora {

namespace {

// Everything a row of the remap reads and the output it writes; shared
// read-only by all rows of one operation.
template <class T> struct RemapJob {
    std::span<const T> src;
    std::size_t w, h;
    const float* map_x;
    const float* map_y;
    std::size_t out_w;
    const LanczosTable* table; // Lanczos3 only
    T* out;
    bool vector; // use the vector rows
};

// Computes output row y: the maps' entries are widened to double and sampled
// left to right; positions outside the source leave the zeros.
template <class T, std::size_t C, Filter F> void remap_row(const RemapJob<T>& job, std::size_t y) {
    const std::size_t first = y * job.out_w;
    const float* mx = job.map_x + first;
    const float* my = job.map_y + first;
    T* row = job.out + first * C;
    // Several pixels at a time where the CPU allows, the remaining ones here.
    std::size_t x = 0;
    if (job.vector)
        x = detail::remap_span<T, C, F>(
            {job.src.data(), job.w, job.h, job.table, job.table ? (*job.table)[0].data() : nullptr},
            mx, my, job.out_w, row);
    for (; x < job.out_w; ++x) {
        const double sx = static_cast<double>(mx[x]);
        const double sy = static_cast<double>(my[x]);
        const std::span<T, C> px(row + x * C, C);
        if constexpr (F == Filter::Bilinear)
            sample_bilinear<T, C>(job.src, job.w, job.h, sx, sy, px);
        else
            sample_lanczos3<T, C>(job.src, job.w, job.h, *job.table, sx, sy, px);
    }
}

template <class T, std::size_t C, Filter F>
void run_remap(const RemapJob<T>& job, std::size_t out_h) {
    // The row length only chunks the work; a saturated value is still non-zero.
    const std::size_t row_len = detail::saturating_mul(job.out_w, C);
    parallel_rows(out_h, row_len, [&job](std::size_t y) { remap_row<T, C, F>(job, y); });
}

} // namespace

template <class T, std::size_t C>
Checked<Buffer<T>> remap(std::span<const T> src, std::size_t w, std::size_t h,
                         std::span<const float> map_x, std::span<const float> map_y,
                         std::size_t out_w, std::size_t out_h, Filter filter) {
    const std::size_t src_len = detail::saturating_mul(detail::saturating_mul(w, h), C);
    if (src.size() != src_len) return SizeMismatch{src_len, src.size()};
    const std::size_t map_len = detail::saturating_mul(out_w, out_h);
    if (map_x.size() != map_len) return SizeMismatch{map_len, map_x.size()};
    if (map_y.size() != map_x.size()) return SizeMismatch{map_len, map_y.size()};

    std::unique_ptr<const LanczosTable> table;
    if (filter == Filter::Lanczos3) table = lanczos3_table();
    Buffer<T> out = detail::allocate_output<T>(out_w, out_h, C);

    const bool vector =
        detail::have_vector_rows() && w > 0 && h > 0 && detail::vector_rows_fit(src.size());
    const RemapJob<T> job{src,   w,           h,          map_x.data(), map_y.data(),
                          out_w, table.get(), out.data(), vector};
    if (filter == Filter::Lanczos3)
        run_remap<T, C, Filter::Lanczos3>(job, out_h);
    else
        run_remap<T, C, Filter::Bilinear>(job, out_h);
    return out;
}

template Checked<Buffer<std::uint8_t>> remap<std::uint8_t, 1>(std::span<const std::uint8_t>,
                                                              std::size_t, std::size_t,
                                                              std::span<const float>,
                                                              std::span<const float>, std::size_t,
                                                              std::size_t, Filter);
template Checked<Buffer<std::uint8_t>> remap<std::uint8_t, 3>(std::span<const std::uint8_t>,
                                                              std::size_t, std::size_t,
                                                              std::span<const float>,
                                                              std::span<const float>, std::size_t,
                                                              std::size_t, Filter);
template Checked<Buffer<std::uint16_t>> remap<std::uint16_t, 1>(std::span<const std::uint16_t>,
                                                                std::size_t, std::size_t,
                                                                std::span<const float>,
                                                                std::span<const float>, std::size_t,
                                                                std::size_t, Filter);
template Checked<Buffer<std::uint16_t>> remap<std::uint16_t, 3>(std::span<const std::uint16_t>,
                                                                std::size_t, std::size_t,
                                                                std::span<const float>,
                                                                std::span<const float>, std::size_t,
                                                                std::size_t, Filter);

} // namespace linora
