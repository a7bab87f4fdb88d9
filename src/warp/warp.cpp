// Perspective warp: output pixel (x, y) is the plane point
// (u, v) = (x / scale + off_x, y / scale + off_y), which the inverse
// homography maps to the source position (X / W, Y / W).
#include "pool.hpp"
#include "warp/raster.hpp"
#include "warp/resample.hpp"
#include "warp/samplers.hpp"
#include "warp/vector_rows.hpp"

#include <memory>

namespace linora {

namespace {

constexpr std::size_t rgb = 3;

// Everything a row of the warp reads and the output it writes; shared
// read-only by all rows of one operation.
template <class T> struct WarpJob {
    std::span<const T> src;
    std::size_t w, h;
    std::size_t out_w;
    std::array<double, 9> inverse;
    double scale, off_x, off_y;
    const LanczosTable* table; // Lanczos3 only
    T* out;
    bool vector;      // use the vector rows
    double inv_scale; // detail::exact_reciprocal(scale)
};

// Computes output row y. The v-dependent terms of the mapping are formed once
// per row, and each sum adds the row term first, then the column term; that
// order fixes the results to the last bit. Pixels with W == 0 stay 0.
template <class T, Filter F> void warp_row(const WarpJob<T>& job, std::size_t y) {
    const auto& m = job.inverse;
    const double v = static_cast<double>(y) / job.scale + job.off_y;
    const double bx = v * m[1] + m[2];
    const double by = v * m[4] + m[5];
    const double bw = v * m[7] + m[8];
    T* row = job.out + y * job.out_w * rgb;
    // Several pixels at a time where the CPU allows, the remaining ones here.
    std::size_t x = 0;
    if (job.vector)
        x = detail::warp_span<T, F>(
            {job.src.data(), job.w, job.h, job.table, job.table ? (*job.table)[0].data() : nullptr},
            {job.scale, job.off_x, m[0], m[3], m[6], bx, by, bw, job.inv_scale}, job.out_w, row);
    for (; x < job.out_w; ++x) {
        const double u = static_cast<double>(x) / job.scale + job.off_x;
        const double W = bw + m[6] * u;
        if (W == 0.0) continue;
        const double sx = (bx + u * m[0]) / W;
        const double sy = (by + u * m[3]) / W;
        const std::span<T, rgb> px(row + x * rgb, rgb);
        if constexpr (F == Filter::Bilinear)
            sample_bilinear<T, rgb>(job.src, job.w, job.h, sx, sy, px);
        else
            sample_lanczos3<T, rgb>(job.src, job.w, job.h, *job.table, sx, sy, px);
    }
}

// Creates the output and runs the row-parallel loop with a fixed filter.
template <class T, Filter F> Buffer<T> warp_with(WarpJob<T> job, std::size_t out_h) {
    Buffer<T> out = detail::allocate_output<T>(job.out_w, out_h, rgb);
    job.out = out.data();
    // The row length only chunks the work; a saturated value is still non-zero.
    const std::size_t row_len = detail::saturating_mul(job.out_w, rgb);
    parallel_rows(out_h, row_len, [&job](std::size_t y) { warp_row<T, F>(job, y); });
    return out;
}

template <class T> Buffer<T> warp_bilinear(const WarpJob<T>& job, std::size_t out_h) {
    return warp_with<T, Filter::Bilinear>(job, out_h);
}

template <class T> Buffer<T> warp_lanczos3(WarpJob<T> job, std::size_t out_h) {
    const std::unique_ptr<const LanczosTable> table = lanczos3_table();
    job.table = table.get();
    return warp_with<T, Filter::Lanczos3>(job, out_h);
}

} // namespace

template <class T>
Checked<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t w, std::size_t h, std::size_t out_w,
                            std::size_t out_h, const std::array<double, 9>& inverse, Filter filter,
                            double scale, double off_x, double off_y) {
    const std::size_t src_len = detail::saturating_mul(detail::saturating_mul(w, h), rgb);
    if (src.size() != src_len) return SizeMismatch{src_len, src.size()};
    const bool vector =
        detail::have_vector_rows() && w > 0 && h > 0 && detail::vector_rows_fit(src.size());
    const WarpJob<T> job{src,   w,     h,       out_w,   inverse, scale,
                         off_x, off_y, nullptr, nullptr, vector,  detail::exact_reciprocal(scale)};
    if (filter == Filter::Lanczos3) return warp_lanczos3<T>(job, out_h);
    return warp_bilinear<T>(job, out_h);
}

template Checked<Buffer<std::uint8_t>>
warp_rgb<std::uint8_t>(std::span<const std::uint8_t>, std::size_t, std::size_t, std::size_t,
                       std::size_t, const std::array<double, 9>&, Filter, double, double, double);
template Checked<Buffer<std::uint16_t>>
warp_rgb<std::uint16_t>(std::span<const std::uint16_t>, std::size_t, std::size_t, std::size_t,
                        std::size_t, const std::array<double, 9>&, Filter, double, double, double);

} // namespace linora
