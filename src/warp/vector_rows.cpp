// Chooses the widest vector rows the CPU runs, and the scalar sampling of
// single pixels that the vector rows fall back on.
#include "warp/vector_rows.hpp"

#include "warp/vector_isa.hpp"

#include <atomic>
#include <cmath>
#include <limits>

namespace linora::detail {

namespace {

// 2: AVX-512, 1: AVX2, 0: neither.
int cpu_level() noexcept {
    static const int level = __builtin_cpu_supports("avx512f") ? 2
                             : __builtin_cpu_supports("avx2")  ? 1
                                                               : 0;
    return level;
}

std::atomic<int> g_limit{2};

int level() noexcept {
    const int limit = g_limit.load(std::memory_order_relaxed);
    return cpu_level() < limit ? cpu_level() : limit;
}

} // namespace

bool have_vector_rows() noexcept {
    return level() > 0;
}

void limit_vector_rows(int lvl) noexcept {
    g_limit.store(lvl, std::memory_order_relaxed);
}

bool vector_rows_fit(std::size_t samples) noexcept {
    return samples < static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 64;
}

double exact_reciprocal(double s) noexcept {
    int e = 0;
    const double m = std::frexp(s, &e); // s = m * 2^e, 0.5 <= |m| < 1
    if ((m == 0.5 || m == -0.5) && e >= -499 && e <= 501) return 1.0 / s; // 2^-500 .. 2^500
    return 0.0;
}

template <class T, std::size_t C, Filter F>
void scalar_pixel(const SourceView<T>& src, double x, double y, T* out) noexcept {
    const std::span<const T> s(src.data, src.w * src.h * C);
    if constexpr (F == Filter::Bilinear)
        sample_bilinear<T, C>(s, src.w, src.h, x, y, std::span<T, C>(out, C));
    else
        sample_lanczos3<T, C>(s, src.w, src.h, *src.table, x, y, std::span<T, C>(out, C));
}

template <class T, std::size_t C, Filter F>
std::size_t remap_span(const SourceView<T>& src, const float* mx, const float* my, std::size_t n,
                       T* out) noexcept {
    return level() == 2 ? remap_span_avx512<T, C, F>(src, mx, my, n, out)
                        : remap_span_avx2<T, C, F>(src, mx, my, n, out);
}

template <class T, Filter F>
std::size_t warp_span(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                      T* out) noexcept {
    return level() == 2 ? warp_span_avx512<T, F>(src, row, n, out)
                        : warp_span_avx2<T, F>(src, row, n, out);
}

#define LINORA_REMAP_SPAN(T, C, F)                                                                 \
    template void scalar_pixel<T, C, F>(const SourceView<T>&, double, double, T*) noexcept;        \
    template std::size_t remap_span<T, C, F>(const SourceView<T>&, const float*, const float*,     \
                                             std::size_t, T*) noexcept;
#define LINORA_WARP_SPAN(T, F)                                                                     \
    template std::size_t warp_span<T, F>(const SourceView<T>&, const WarpRowTerms&, std::size_t,   \
                                         T*) noexcept;
LINORA_REMAP_SPAN(std::uint8_t, 1, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint8_t, 3, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint16_t, 1, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint16_t, 3, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint8_t, 1, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint8_t, 3, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint16_t, 1, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint16_t, 3, Filter::Lanczos3)
LINORA_WARP_SPAN(std::uint8_t, Filter::Bilinear)
LINORA_WARP_SPAN(std::uint16_t, Filter::Bilinear)
LINORA_WARP_SPAN(std::uint8_t, Filter::Lanczos3)
LINORA_WARP_SPAN(std::uint16_t, Filter::Lanczos3)

} // namespace linora::detail
