// Perspective warp: output pixel (x, y) is the plane point
// (u, v) = (x / scale + off_x, y / scale + off_y), which the inverse
// homography maps to the source position (X / W, Y / W).
#include "float_env.hpp"
#include "pool.hpp"
#include "warp/allocation.hpp"
#include "warp/kernels.hpp"
#include "warp/resample.hpp"
#include "warp/rows.hpp"
#include "warp/vector_rows.hpp"

#include <memory>

namespace linora {

namespace {

constexpr std::size_t rgb = 3;

// Everything a row of the warp reads and the output it writes; shared
// read-only by all rows of one operation.
template <class T> struct WarpJob {
    detail::SourceView<T> src;
    std::size_t out_w;
    std::array<double, 9> inverse;
    double scale, off_y;
    // u[x] * h0, u[x] * h3 and u[x] * h6 for every output column, with
    // u[x] = x / scale + off_x (see WarpRowTerms).
    const double* columns;
    T* out;
    detail::WarpSpan<T> span; // the leading pixels of a row
};

// Output row y. The v-dependent terms of the mapping are formed once per
// row; pixels with W == 0 stay 0.
template <class K, class T> void warp_row(const WarpJob<T>& job, std::size_t y) {
    const auto& m = job.inverse;
    const double v = static_cast<double>(y) / job.scale + job.off_y;
    const detail::WarpRowTerms terms{.uh0 = job.columns,
                                     .uh3 = job.columns + job.out_w,
                                     .uh6 = job.columns + 2 * job.out_w,
                                     .bx = v * m[1] + m[2],
                                     .by = v * m[4] + m[5],
                                     .bw = v * m[7] + m[8]};
    T* row = job.out + y * job.out_w * rgb;
    const std::size_t x = job.span(job.src, terms, job.out_w, row);
    detail::scalar_row<K, T, rgb>(job.src, detail::WarpRowPositions{terms}, x, job.out_w, row);
}

template <class K, class T>
Buffer<T> warp_with(std::span<const T> src, std::size_t w, std::size_t h, std::size_t out_w,
                    std::size_t out_h, const std::array<double, 9>& inverse, double scale,
                    double off_x, double off_y) {
    std::unique_ptr<const LanczosTable> table;
    if constexpr (K::uses_table) table = lanczos3_table();
    Buffer<T> out = detail::allocate_output<T>(out_w, out_h, rgb);
    // The column terms, the same for every row: the division by the scale
    // and the products with the homography's u terms happen once per column,
    // not once per pixel.
    const std::size_t columns = out_h == 0 ? 0 : out_w;
    Buffer<double> terms = Buffer<double>::uninitialised(size_product(columns, std::size_t{3}));
    for (std::size_t x = 0; x < columns; ++x) {
        const double u = static_cast<double>(x) / scale + off_x;
        terms[x] = u * inverse[0];
        terms[columns + x] = u * inverse[3];
        terms[2 * columns + x] = inverse[6] * u;
    }

    const WarpJob<T> job{{src.data(), w, h, table.get(), table ? (*table)[0].data() : nullptr,
                          &detail::kernel_pixel<K, T, rgb>},
                         out_w,
                         inverse,
                         scale,
                         off_y,
                         terms.data(),
                         out.data(),
                         detail::vector_rows<T>(src.size()).warp[detail::kernel_index<K>]};
    // The row length only chunks the work; a saturated value is still non-zero.
    const std::size_t row_len = size_product(out_w, rgb);
    parallel_rows(out_h, row_len, [&job](std::size_t y) { warp_row<K, T>(job, y); });
    return out;
}

} // namespace

template <class T>
Checked<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t w, std::size_t h, std::size_t out_w,
                            std::size_t out_h, const std::array<double, 9>& inverse, Filter filter,
                            double scale, double off_x, double off_y) {
    const DefaultFloatEnv float_env;
    const std::size_t src_len = size_product(w, h, rgb);
    if (src.size() != src_len) return SizeMismatch{src_len, src.size()};
    Buffer<T> out;
    detail::with_kernel(filter, [&]<class K>() {
        out = warp_with<K, T>(src, w, h, out_w, out_h, inverse, scale, off_x, off_y);
    });
    return out;
}

#define LINORA_INSTANCE(T)                                                                         \
    template Checked<Buffer<T>> warp_rgb<T>(                                                       \
        std::span<const T>, std::size_t, std::size_t, std::size_t, std::size_t,                    \
        const std::array<double, 9>&, Filter, double, double, double);
LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora
