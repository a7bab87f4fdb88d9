// Coordinate-map remap: output pixel (x, y) samples the source at
// (map_x[y * out_w + x], map_y[y * out_w + x]).
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

// Everything a row of the remap reads and the output it writes; shared
// read-only by all rows of one operation.
template <class T> struct RemapJob {
    detail::SourceView<T> src;
    const float* map_x;
    const float* map_y;
    std::size_t out_w;
    T* out;
    detail::RemapSpan<T> span; // the leading pixels of a row
};

// Output row y: positions outside the source give 0.
template <class K, class T, std::size_t C> void remap_row(const RemapJob<T>& job, std::size_t y) {
    const std::size_t first = y * job.out_w;
    const float* mx = job.map_x + first;
    const float* my = job.map_y + first;
    T* row = job.out + first * C;
    const std::size_t x = job.span(job.src, mx, my, job.out_w, row);
    detail::scalar_row<K, T, C>(job.src, detail::RemapRowPositions{mx, my}, x, job.out_w, row);
}

template <class K, class T, std::size_t C>
Buffer<T> remap_with(std::span<const T> src, std::size_t w, std::size_t h,
                     std::span<const float> map_x, std::span<const float> map_y, std::size_t out_w,
                     std::size_t out_h) {
    std::unique_ptr<const LanczosTable> table;
    if constexpr (K::uses_table) table = lanczos3_table();
    Buffer<T> out = detail::allocate_output<T>(out_w, out_h, C);

    const RemapJob<T> job{{src.data(), w, h, table.get(), table ? (*table)[0].data() : nullptr,
                           &detail::kernel_pixel<K, T, C>},
                          map_x.data(),
                          map_y.data(),
                          out_w,
                          out.data(),
                          detail::vector_rows<T>(src.size())
                              .remap[detail::kernel_index<K>][detail::channel_index<C>]};
    // The row length only chunks the work; a saturated value is still non-zero.
    const std::size_t row_len = size_product(out_w, C);
    parallel_rows(out_h, row_len, [&job](std::size_t y) { remap_row<K, T, C>(job, y); });
    return out;
}

} // namespace

template <class T, std::size_t C>
Checked<Buffer<T>> remap(std::span<const T> src, std::size_t w, std::size_t h,
                         std::span<const float> map_x, std::span<const float> map_y,
                         std::size_t out_w, std::size_t out_h, Filter filter) {
    const DefaultFloatEnv float_env;
    const std::size_t src_len = size_product(w, h, C);
    if (src.size() != src_len) return SizeMismatch{src_len, src.size()};
    const std::size_t map_len = size_product(out_w, out_h);
    if (map_x.size() != map_len) return SizeMismatch{map_len, map_x.size()};
    if (map_y.size() != map_x.size()) return SizeMismatch{map_len, map_y.size()};

    Buffer<T> out;
    detail::with_kernel(filter, [&]<class K>() {
        out = remap_with<K, T, C>(src, w, h, map_x, map_y, out_w, out_h);
    });
    return out;
}

#define LINORA_INSTANCE(T)                                                                         \
    template Checked<Buffer<T>> remap<T, 1>(std::span<const T>, std::size_t, std::size_t,          \
                                            std::span<const float>, std::span<const float>,        \
                                            std::size_t, std::size_t, Filter);                     \
    template Checked<Buffer<T>> remap<T, 3>(std::span<const T>, std::size_t, std::size_t,          \
                                            std::span<const float>, std::span<const float>,        \
                                            std::size_t, std::size_t, Filter);
LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora
