// The filters as kernel types, and the source raster as the row loops see
// it. Another filter is a row of LINORA_FILTERS (resample.hpp), a kernel type
// here and its Taps in vector_kernels.inc. (The sample types are listed in
// resample.hpp.)
#pragma once

#include "warp/resample.hpp"
#include "warp/samplers.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

namespace linora {

namespace detail {

// The index of a channel count (gray or RGB) in tables.
template <std::size_t C> inline constexpr std::size_t channel_index = C == 3 ? 1 : 0;

// The source raster of one operation as the row loops see it.
template <class T> struct SourceView {
    const T* data;
    std::size_t w, h;
    const LanczosTable* table; // Lanczos3 only
    const double* weights;     // Lanczos3 only: the table's first entry
    // The scalar kernel of this operation's filter and channel count, for the
    // pixels the vector rows leave to it.
    void (*pixel)(const SourceView& src, double x, double y, T* out) noexcept;
};

// A filter as a kernel type: whether it reads the Lanczos table, and the
// scalar sampling of one pixel (nothing written outside the raster; throws
// as the samplers do for a raster without pixels).
struct Bilinear {
    static constexpr bool uses_table = false;
    template <class T, std::size_t C>
    static void sample(const SourceView<T>& src, double x, double y, T* out) {
        sample_bilinear<T, C>(std::span<const T>(src.data, src.w * src.h * C), src.w, src.h, x, y,
                              std::span<T, C>(out, C));
    }
};

struct Lanczos3 {
    static constexpr bool uses_table = true;
    template <class T, std::size_t C>
    static void sample(const SourceView<T>& src, double x, double y, T* out) {
        sample_lanczos3<T, C>(std::span<const T>(src.data, src.w * src.h * C), src.w, src.h,
                              *src.table, x, y, std::span<T, C>(out, C));
    }
};

inline constexpr std::size_t kKernelCount = std::size(filter_names);

// The Filter of each kernel type, and its index in tables.
template <class K> struct FilterOf;
#define LINORA_FILTER_OF(kernel, name)                                                             \
    template <> struct FilterOf<kernel> { static constexpr Filter value = Filter::kernel; };
LINORA_FILTERS(LINORA_FILTER_OF)
#undef LINORA_FILTER_OF
template <class K>
inline constexpr std::size_t kernel_index = static_cast<std::size_t>(FilterOf<K>::value);

// Calls f.template operator()<K>() for the kernel type K of `filter`.
template <class F> constexpr void with_kernel(Filter filter, F&& f) {
#define LINORA_KERNEL_CASE(kernel, name)                                                           \
    case Filter::kernel:                                                                           \
        return f.template operator()<kernel>();
    switch (filter) { LINORA_FILTERS(LINORA_KERNEL_CASE) }
#undef LINORA_KERNEL_CASE
}

// The kernel's pixel as SourceView::pixel, for the vector rows (which run
// only on sources with pixels, where the samplers do not throw).
template <class K, class T, std::size_t C>
void kernel_pixel(const SourceView<T>& src, double x, double y, T* out) noexcept {
    K::template sample<T, C>(src, x, y, out);
}

} // namespace detail
} // namespace linora
