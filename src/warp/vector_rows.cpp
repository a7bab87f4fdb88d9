// AVX2 resampling rows: four output pixels per step, each lane doing the
// scalar sampler's arithmetic (see vector_rows.hpp).
#include "warp/vector_rows.hpp"

#include <immintrin.h>

#include <cstring>
#include <limits>
#include <type_traits>

#define LINORA_AVX2 __attribute__((target("avx2"), always_inline)) inline

namespace linora::detail {

bool have_vector_rows() noexcept {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

bool vector_rows_fit(std::size_t samples) noexcept {
    return samples < static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 64;
}

namespace {

// Four source positions, and the lanes to sample (inside the raster and not
// skipped by the caller) as a mask.
struct Positions {
    __m256d x, y, take;
};

// The samplers' range test, exactly its four ordered comparisons: a lane is
// taken unless one of them holds (NaN coordinates are taken).
LINORA_AVX2 __m256d inside(__m256d x, __m256d y, std::size_t w, std::size_t h) {
    const __m256d lo = _mm256_set1_pd(-0.5);
    const __m256d wm = _mm256_set1_pd(static_cast<double>(w) - 0.5);
    const __m256d hm = _mm256_set1_pd(static_cast<double>(h) - 0.5);
    const __m256d out = _mm256_or_pd(
        _mm256_or_pd(_mm256_cmp_pd(x, lo, _CMP_LT_OQ), _mm256_cmp_pd(x, wm, _CMP_GT_OQ)),
        _mm256_or_pd(_mm256_cmp_pd(y, lo, _CMP_LT_OQ), _mm256_cmp_pd(y, hm, _CMP_GT_OQ)));
    return _mm256_andnot_pd(out, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
}

struct RemapPositions {
    const float* mx;
    const float* my;
    std::size_t w, h;
    // Map entries widened exactly to double.
    LINORA_AVX2 Positions at(std::size_t x) const {
        const __m256d px = _mm256_cvtps_pd(_mm_loadu_ps(mx + x));
        const __m256d py = _mm256_cvtps_pd(_mm_loadu_ps(my + x));
        return {px, py, inside(px, py, w, h)};
    }
};

struct WarpPositions {
    WarpRowTerms t;
    std::size_t w, h;
    // u = x / scale + off_x; W = bw + H6 * u; (sx, sy) = ((bx + u * H0) / W,
    // (by + u * H3) / W); lanes with W == 0 are skipped.
    LINORA_AVX2 Positions at(std::size_t x) const {
        const double xd = static_cast<double>(x);
        const __m256d xs = _mm256_add_pd(_mm256_set1_pd(xd), _mm256_set_pd(3.0, 2.0, 1.0, 0.0));
        const __m256d u =
            _mm256_add_pd(_mm256_div_pd(xs, _mm256_set1_pd(t.scale)), _mm256_set1_pd(t.off_x));
        const __m256d wd =
            _mm256_add_pd(_mm256_set1_pd(t.bw), _mm256_mul_pd(_mm256_set1_pd(t.h6), u));
        const __m256d sx = _mm256_div_pd(
            _mm256_add_pd(_mm256_set1_pd(t.bx), _mm256_mul_pd(u, _mm256_set1_pd(t.h0))), wd);
        const __m256d sy = _mm256_div_pd(
            _mm256_add_pd(_mm256_set1_pd(t.by), _mm256_mul_pd(u, _mm256_set1_pd(t.h3))), wd);
        const __m256d zero_w = _mm256_cmp_pd(wd, _mm256_setzero_pd(), _CMP_EQ_OQ);
        return {sx, sy, _mm256_andnot_pd(zero_w, inside(sx, sy, w, h))};
    }
};

// The positions of a row, computed a block of pixels ahead of the sampling:
// the divisions of the warp's mapping then overlap one another instead of
// each group of four waiting for its own.
struct PositionBlock {
    static constexpr std::size_t size = 64;
    alignas(32) double x[size], y[size], take[size];

    // The positions of pixels x .. x + 3 (x a multiple of 4, x + 4 <= n).
    template <class Pos> LINORA_AVX2 Positions next(const Pos& pos, std::size_t px, std::size_t n) {
        const std::size_t at = px % size;
        if (at == 0)
            for (std::size_t i = 0; i < size && px + i + 4 <= n; i += 4) {
                const Positions p = pos.at(px + i);
                _mm256_store_pd(x + i, p.x);
                _mm256_store_pd(y + i, p.y);
                _mm256_store_pd(take + i, p.take);
            }
        return {_mm256_load_pd(x + at), _mm256_load_pd(y + at), _mm256_load_pd(take + at)};
    }
};

// floor(v) as int32 lanes, 0 where v is NaN or the lane is not taken (its
// value is then never used). Taken lanes lie in [-1, n - 1].
LINORA_AVX2 __m128i floor_index(__m256d floored, __m256d take) {
    const __m256d ok = _mm256_and_pd(take, _mm256_cmp_pd(floored, floored, _CMP_ORD_Q));
    return _mm256_cvttpd_epi32(_mm256_and_pd(floored, ok));
}

LINORA_AVX2 __m128i clamp_index(__m128i i, __m128i last) {
    return _mm_min_epi32(_mm_max_epi32(i, _mm_setzero_si128()), last);
}

// Samples of pixel offsets `off` (in elements of T, C channels from there),
// four lanes, channel c as doubles. One 4- or 8-byte load per lane covers
// the pixel's channels (plain loads: faster than the gather instructions on
// the machines measured).
template <class T, std::size_t C> struct Gather {
    static constexpr bool wide = C * sizeof(T) > 4; // 16-bit RGB: 8-byte loads
    // Elements a gather reads from its offset on.
    static constexpr std::size_t span = (wide ? 8 : 4) / sizeof(T);

    LINORA_AVX2 static void load(const T* base, __m128i off, __m256d (&v)[C]) {
        constexpr int bits = 8 * sizeof(T);
        constexpr int mask = (1 << bits) - 1;
        if constexpr (!wide) {
            alignas(16) std::int32_t o[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(o), off);
            std::int32_t l[4];
            for (int i = 0; i < 4; ++i)
                std::memcpy(&l[i], base + o[i], 4);
            const __m128i g = _mm_setr_epi32(l[0], l[1], l[2], l[3]);
            for (std::size_t c = 0; c < C; ++c)
                v[c] = _mm256_cvtepi32_pd(_mm_and_si128(
                    _mm_srli_epi32(g, static_cast<int>(bits * c)), _mm_set1_epi32(mask)));
        } else {
            alignas(16) std::int32_t o[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(o), off);
            std::int64_t l[4];
            for (int i = 0; i < 4; ++i)
                std::memcpy(&l[i], base + o[i], 8);
            const __m256i g = _mm256_setr_epi64x(l[0], l[1], l[2], l[3]);
            const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
            for (std::size_t c = 0; c < C; ++c) {
                const __m256i ch = _mm256_and_si256(
                    _mm256_srli_epi64(g, static_cast<int>(bits * c)), _mm256_set1_epi64x(mask));
                v[c] = _mm256_cvtepi32_pd(
                    _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(ch, low_dwords)));
            }
        }
    }
};

// The samplers' quantisation: v + 0.5 truncated, NaN and values below 1
// giving 0, limited to T's maximum. Clamping v + 0.5 to [0, max] first gives
// the same integers (max_pd returns its second operand, 0, for NaN).
template <class T> LINORA_AVX2 __m128i quantise(__m256d v) {
    const __m256d r = _mm256_add_pd(v, _mm256_set1_pd(0.5));
    const __m256d c = _mm256_min_pd(_mm256_max_pd(r, _mm256_setzero_pd()),
                                    _mm256_set1_pd(std::numeric_limits<T>::max()));
    return _mm256_cvttpd_epi32(c);
}

template <class T, std::size_t C>
LINORA_AVX2 void store(T* out, std::size_t x, int take, const __m128i (&q)[C]) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        if (take == 0xF) {
            // All four pixels: pack the bytes, interleave the channels and
            // write the 4 * C bytes at once.
            const __m128i b = _mm_packus_epi16(_mm_packus_epi32(q[0], q[C > 1 ? 1 : 0]),
                                               _mm_packus_epi32(q[C - 1], q[C - 1]));
            if constexpr (C == 1) {
                const std::int32_t v = _mm_cvtsi128_si32(b);
                std::memcpy(out + x, &v, 4);
            } else {
                const __m128i rgb = _mm_shuffle_epi8(
                    b, _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
                const std::int64_t lo = _mm_cvtsi128_si64(rgb);
                const std::int32_t hi = _mm_extract_epi32(rgb, 2);
                std::memcpy(out + x * 3, &lo, 8);
                std::memcpy(out + x * 3 + 8, &hi, 4);
            }
            return;
        }
    }
    alignas(16) std::int32_t lanes[C][4];
    for (std::size_t c = 0; c < C; ++c)
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[c]), q[c]);
    for (int l = 0; l < 4; ++l)
        if (take & (1 << l))
            for (std::size_t c = 0; c < C; ++c)
                out[(x + static_cast<std::size_t>(l)) * C + c] = static_cast<T>(lanes[c][l]);
}

// Any lane whose offset leaves less than a gather's reach before the end of
// the source (only possible near its last pixel)?
template <class T, std::size_t C> LINORA_AVX2 bool near_end(__m128i max_off, std::size_t samples) {
    if (samples < Gather<T, C>::span) return true;
    const __m128i limit = _mm_set1_epi32(static_cast<std::int32_t>(samples - Gather<T, C>::span));
    return _mm_movemask_epi8(_mm_cmpgt_epi32(max_off, limit)) != 0;
}

// Bilinear: weights from the unclamped floor, neighbours clamped each by
// itself, v = ((w00 * P00 + w10 * P10) + w01 * P01) + w11 * P11.
template <class T, std::size_t C, class Pos>
__attribute__((target("avx2"))) std::size_t bilinear_span(const SourceView<T>& src, const Pos& pos,
                                                          std::size_t n, T* out) {
    const std::size_t samples = src.w * src.h * C;
    const __m128i last_x = _mm_set1_epi32(static_cast<std::int32_t>(src.w) - 1);
    const __m128i last_y = _mm_set1_epi32(static_cast<std::int32_t>(src.h) - 1);
    const __m128i stride = _mm_set1_epi32(static_cast<std::int32_t>(src.w * C));
    const __m128i cc = _mm_set1_epi32(static_cast<std::int32_t>(C));
    const __m128i one = _mm_set1_epi32(1);
    const __m256d ones = _mm256_set1_pd(1.0);
    std::size_t x = 0;
    PositionBlock block;
    for (; x + 4 <= n; x += 4) {
        const Positions p = block.next(pos, x, n);
        const int take = _mm256_movemask_pd(p.take);
        if (take == 0) continue;
        const __m256d fx0 = _mm256_floor_pd(p.x);
        const __m256d fy0 = _mm256_floor_pd(p.y);
        const __m128i ix = floor_index(fx0, p.take);
        const __m128i iy = floor_index(fy0, p.take);
        const __m128i x0 = _mm_mullo_epi32(clamp_index(ix, last_x), cc);
        const __m128i x1 = _mm_mullo_epi32(clamp_index(_mm_add_epi32(ix, one), last_x), cc);
        const __m128i r0 = _mm_mullo_epi32(clamp_index(iy, last_y), stride);
        const __m128i r1 = _mm_mullo_epi32(clamp_index(_mm_add_epi32(iy, one), last_y), stride);
        const __m128i o11 = _mm_add_epi32(r1, x1);
        if (near_end<T, C>(o11, samples)) {
            // Scalar samplers for the four lanes, which read exactly.
            alignas(32) double xs[4], ys[4];
            _mm256_store_pd(xs, p.x);
            _mm256_store_pd(ys, p.y);
            for (std::size_t l = 0; l < 4; ++l) {
                if (take & (1 << l))
                    sample_bilinear<T, C>(std::span<const T>(src.data, samples), src.w, src.h,
                                          xs[l], ys[l], std::span<T, C>(out + (x + l) * C, C));
            }
            continue;
        }
        const __m256d fx = _mm256_sub_pd(p.x, fx0);
        const __m256d fy = _mm256_sub_pd(p.y, fy0);
        const __m256d gx = _mm256_sub_pd(ones, fx);
        const __m256d gy = _mm256_sub_pd(ones, fy);
        const __m256d w00 = _mm256_mul_pd(gx, gy);
        const __m256d w10 = _mm256_mul_pd(fx, gy);
        const __m256d w01 = _mm256_mul_pd(gx, fy);
        const __m256d w11 = _mm256_mul_pd(fx, fy);
        __m256d p00[C], p10[C], p01[C], p11[C];
        Gather<T, C>::load(src.data, _mm_add_epi32(r0, x0), p00);
        Gather<T, C>::load(src.data, _mm_add_epi32(r0, x1), p10);
        Gather<T, C>::load(src.data, _mm_add_epi32(r1, x0), p01);
        Gather<T, C>::load(src.data, o11, p11);
        __m128i q[C];
        for (std::size_t c = 0; c < C; ++c) {
            const __m256d v = _mm256_add_pd(
                _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w00, p00[c]), _mm256_mul_pd(w10, p10[c])),
                              _mm256_mul_pd(w01, p01[c])),
                _mm256_mul_pd(w11, p11[c]));
            q[c] = quantise<T>(v);
        }
        store<T, C>(out, x, take, q);
    }
    return x;
}

// Phase index of a coordinate: (v - floor(v)) * 1024 rounded half away from
// zero (the fraction is not negative: trunc, plus one when the rest is at
// least a half, which is exactly std::round), NaN giving 0.
LINORA_AVX2 __m128i phase_index(__m256d v, __m256d floored) {
    const __m256d f = _mm256_mul_pd(_mm256_sub_pd(v, floored), _mm256_set1_pd(1024.0));
    const __m256d t = _mm256_round_pd(f, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(f, t), _mm256_set1_pd(0.5), _CMP_GE_OQ);
    const __m256d r = _mm256_add_pd(t, _mm256_and_pd(up, _mm256_set1_pd(1.0)));
    return _mm256_cvttpd_epi32(_mm256_and_pd(r, _mm256_cmp_pd(r, r, _CMP_ORD_Q)));
}

// Four table entries at element offsets `off` from `base` (the masked form
// with a defined pass-through value, which GCC does not warn about).
LINORA_AVX2 __m256d gather_weights(const double* base, __m128i off) {
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, off, all, 8);
}

// Lanczos-3: table rows kx and ky, 6 x 6 taps clamped each by itself,
// sum = sum + (wy[i] * wx[j]) * P in row-major tap order.
template <class T, std::size_t C, class Pos>
__attribute__((target("avx2"))) std::size_t lanczos_span(const SourceView<T>& src, const Pos& pos,
                                                         std::size_t n, T* out) {
    const std::size_t samples = src.w * src.h * C;
    const double* table = (*src.table)[0].data();
    const __m128i last_x = _mm_set1_epi32(static_cast<std::int32_t>(src.w) - 1);
    const __m128i last_y = _mm_set1_epi32(static_cast<std::int32_t>(src.h) - 1);
    const __m128i stride = _mm_set1_epi32(static_cast<std::int32_t>(src.w * C));
    const __m128i cc = _mm_set1_epi32(static_cast<std::int32_t>(C));
    const __m128i six = _mm_set1_epi32(6);
    std::size_t x = 0;
    PositionBlock block;
    for (; x + 4 <= n; x += 4) {
        const Positions p = block.next(pos, x, n);
        const int take = _mm256_movemask_pd(p.take);
        if (take == 0) continue;
        const __m256d fx0 = _mm256_floor_pd(p.x);
        const __m256d fy0 = _mm256_floor_pd(p.y);
        const __m128i kx = _mm_mullo_epi32(phase_index(p.x, fx0), six);
        const __m128i ky = _mm_mullo_epi32(phase_index(p.y, fy0), six);
        const __m128i ix = floor_index(fx0, p.take);
        const __m128i iy = floor_index(fy0, p.take);
        __m128i col[6], row[6];
        __m256d wx[6], wy[6];
        for (int j = 0; j < 6; ++j) {
            const __m128i d = _mm_set1_epi32(j - 2);
            col[j] = _mm_mullo_epi32(clamp_index(_mm_add_epi32(ix, d), last_x), cc);
            row[j] = _mm_mullo_epi32(clamp_index(_mm_add_epi32(iy, d), last_y), stride);
            wx[j] = gather_weights(table + j, kx);
            wy[j] = gather_weights(table + j, ky);
        }
        if (near_end<T, C>(_mm_add_epi32(row[5], col[5]), samples)) {
            alignas(32) double xs[4], ys[4];
            _mm256_store_pd(xs, p.x);
            _mm256_store_pd(ys, p.y);
            for (std::size_t l = 0; l < 4; ++l) {
                if (take & (1 << l))
                    sample_lanczos3<T, C>(std::span<const T>(src.data, samples), src.w, src.h,
                                          *src.table, xs[l], ys[l],
                                          std::span<T, C>(out + (x + l) * C, C));
            }
            continue;
        }
        __m256d sum[C];
        for (std::size_t c = 0; c < C; ++c)
            sum[c] = _mm256_setzero_pd();
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j) {
                const __m256d wij = _mm256_mul_pd(wy[i], wx[j]);
                __m256d v[C];
                Gather<T, C>::load(src.data, _mm_add_epi32(row[i], col[j]), v);
                for (std::size_t c = 0; c < C; ++c)
                    sum[c] = _mm256_add_pd(sum[c], _mm256_mul_pd(wij, v[c]));
            }
        __m128i q[C];
        for (std::size_t c = 0; c < C; ++c)
            q[c] = quantise<T>(sum[c]);
        store<T, C>(out, x, take, q);
    }
    return x;
}

template <class T, std::size_t C, Filter F, class Pos>
std::size_t span_with(const SourceView<T>& src, const Pos& pos, std::size_t n, T* out) {
    if constexpr (F == Filter::Bilinear)
        return bilinear_span<T, C>(src, pos, n, out);
    else
        return lanczos_span<T, C>(src, pos, n, out);
}

} // namespace

template <class T, std::size_t C, Filter F>
std::size_t remap_span(const SourceView<T>& src, const float* mx, const float* my, std::size_t n,
                       T* out) noexcept {
    return span_with<T, C, F>(src, RemapPositions{mx, my, src.w, src.h}, n, out);
}

template <class T, Filter F>
std::size_t warp_span(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                      T* out) noexcept {
    return span_with<T, 3, F>(src, WarpPositions{row, src.w, src.h}, n, out);
}

#define LINORA_REMAP_SPAN(T, C, F)                                                                 \
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
