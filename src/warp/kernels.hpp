// The filters as kernel types, and the source raster as the row loops see
// it. Another filter is a kernel type here, a Filter value and an entry in
// `Kernels`; the vector rows leave it to its scalar kernel until they get
// one for it. (The sample types are listed in resample.hpp.)
#pragma once

#include "warp/resample.hpp"
#include "warp/samplers.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace linora {

namespace detail {

template <class... Ts> struct TypeList {};

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

// A filter as a kernel type: its Filter value, whether it reads the Lanczos
// table, and the scalar sampling of one pixel (nothing written outside the
// raster; throws as the samplers do for a raster without pixels).
struct Bilinear {
    static constexpr Filter id = Filter::Bilinear;
    static constexpr bool uses_table = false;
    template <class T, std::size_t C>
    static void sample(const SourceView<T>& src, double x, double y, T* out) {
        sample_bilinear<T, C>(std::span<const T>(src.data, src.w * src.h * C), src.w, src.h, x, y,
                              std::span<T, C>(out, C));
    }
};

struct Lanczos3 {
    static constexpr Filter id = Filter::Lanczos3;
    static constexpr bool uses_table = true;
    template <class T, std::size_t C>
    static void sample(const SourceView<T>& src, double x, double y, T* out) {
        sample_lanczos3<T, C>(std::span<const T>(src.data, src.w * src.h * C), src.w, src.h,
                              *src.table, x, y, std::span<T, C>(out, C));
    }
};

using Kernels = TypeList<Bilinear, Lanczos3>;

template <class K, class List> struct IndexOf;
template <class K, class... Ks> struct IndexOf<K, TypeList<K, Ks...>> {
    static constexpr std::size_t value = 0;
};
template <class K, class First, class... Ks> struct IndexOf<K, TypeList<First, Ks...>> {
    static constexpr std::size_t value = 1 + IndexOf<K, TypeList<Ks...>>::value;
};
template <class List> struct Size;
template <class... Ks> struct Size<TypeList<Ks...>> {
    static constexpr std::size_t value = sizeof...(Ks);
};

inline constexpr std::size_t kKernelCount = Size<Kernels>::value;
template <class K> inline constexpr std::size_t kernel_index = IndexOf<K, Kernels>::value;

// Calls f.template operator()<K>() for the kernel type K of `filter`.
template <class F, class... Ks> void with_kernel_of(Filter filter, F& f, TypeList<Ks...>) {
    (void)((filter == Ks::id ? (f.template operator()<Ks>(), true) : false) || ...);
}
template <class F> void with_kernel(Filter filter, F&& f) {
    with_kernel_of(filter, f, Kernels{});
}

// The kernel's pixel as SourceView::pixel, for the vector rows (which run
// only on sources with pixels, where the samplers do not throw).
template <class K, class T, std::size_t C>
void kernel_pixel(const SourceView<T>& src, double x, double y, T* out) noexcept {
    K::template sample<T, C>(src, x, y, out);
}

} // namespace detail
} // namespace linora
