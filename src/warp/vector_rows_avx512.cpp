// The resampling row kernels compiled for AVX-512: eight lanes of doubles (on
// x86-64; elsewhere this file compiles to nothing).
#include "simd.hpp"

#if defined(LINORA_X86_VECTORS)
#include "warp/vector_rows.hpp"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

LINORA_TARGET_AVX512
// GCC 12's AVX-512 intrinsics start several results from an undefined
// register value, which -Wmaybe-uninitialized reports inside its own header
// (GCC bug 105593); nothing here reads an undefined value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "warp/vector_pack.hpp"

namespace linora::detail::avx512 {

struct Lanes {
    static constexpr int N = 8;
    using D = __m512d;  // lane values
    using I = __m256i;  // lane indices, 32-bit
    using M = __mmask8; // lane mask

    LINORA_PREFIXED_LANE_OPS(_mm512, _mm256)
    LINORA_LANE_OP D floor(D a) {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    LINORA_LANE_OP D trunc(D a) {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    LINORA_LANE_OP M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    LINORA_LANE_OP M ord(D a) { return _mm512_cmp_pd_mask(a, a, _CMP_ORD_Q); }
    LINORA_LANE_OP M and_(M a, M b) { return static_cast<M>(a & b); }
    LINORA_LANE_OP M and_not(M a, M b) { return static_cast<M>(~a & b); } // b and not a
    LINORA_LANE_OP unsigned bits(M a) { return a; }
    LINORA_LANE_OP M all() { return static_cast<M>(0xff); }
    // v where m holds, +0.0 elsewhere.
    LINORA_LANE_OP D keep(D v, M m) { return _mm512_maskz_mov_pd(m, v); }
    LINORA_LANE_OP D widen(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }

    LINORA_LANE_OP void storei(std::int32_t* p, I v) {
        _mm256_store_si256(reinterpret_cast<I*>(p), v);
    }
    LINORA_LANE_OP bool any_gt(I a, I b) {
        return _mm256_movemask_epi8(_mm256_cmpgt_epi32(a, b)) != 0;
    }
    // Bit l set where lane l of a is at most that of b, as unsigned (signed)
    // integers.
    LINORA_LANE_OP unsigned le_u32(I a, I b) { return _mm256_cmple_epu32_mask(a, b); }
    LINORA_LANE_OP unsigned le_i32(I a, I b) { return _mm256_cmple_epi32_mask(a, b); }

    // 4 or 8 bytes from element offset o[l] of `base`, per lane.
    template <class T> LINORA_LANE_OP I fetch32(const T* base, const std::int32_t* o) {
        std::int32_t l[N];
        for (int i = 0; i < N; ++i)
            __builtin_memcpy(&l[i], base + o[i], 4);
        return _mm256_setr_epi32(l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7]);
    }
    template <class T> LINORA_LANE_OP __m512i fetch64(const T* base, const std::int32_t* o) {
        long long l[N];
        for (int i = 0; i < N; ++i)
            __builtin_memcpy(&l[i], base + o[i], 8);
        return _mm512_setr_epi64(l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7]);
    }
    // a, b, c, d as the four 16-byte parts of a vector, in that order.
    LINORA_LANE_OP __m512i join4(__m128i a, __m128i b, __m128i c, __m128i d) {
        const __m256i ab = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
        const __m256i cd = _mm256_inserti128_si256(_mm256_castsi128_si256(c), d, 1);
        return _mm512_inserti64x4(_mm512_castsi256_si512(ab), cd, 1);
    }
    // The 16 bytes from element offset o[l] of `base` per lane: the first
    // eight in lo, the next eight in hi (lane l of each).
    template <class T>
    LINORA_LANE_OP void fetch128(const T* base, const std::int32_t* o, __m512i& lo, __m512i& hi) {
        __m128i x[N];
        for (int i = 0; i < N; ++i)
            x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + o[i]));
        // Lanes 0, 2, 4, 6 and 1, 3, 5, 7 in the four 16-byte parts, then
        // interleaved by eight bytes.
        const __m512i even = join4(x[0], x[2], x[4], x[6]);
        const __m512i odd = join4(x[1], x[3], x[5], x[7]);
        lo = _mm512_unpacklo_epi64(even, odd);
        hi = _mm512_unpackhi_epi64(even, odd);
    }
    // w[j] lane l = table[6 * k[l] + j] for j < 6: eight table rows loaded
    // and transposed.
    LINORA_LANE_OP void rows6(const double* table, const std::int32_t* k, D (&w)[6]) {
        D r[8], t[8], u[8];
        for (int l = 0; l < 8; ++l)
            r[l] = _mm512_maskz_loadu_pd(0x3f, table + 6 * k[l]);
        for (int l = 0; l < 8; l += 2) {
            t[l] = _mm512_unpacklo_pd(r[l], r[l + 1]);     // columns 0, 2, 4, 6 of rows l, l + 1
            t[l + 1] = _mm512_unpackhi_pd(r[l], r[l + 1]); // columns 1, 3, 5, 7
        }
        for (int l = 0; l < 8; l += 4)
            for (int odd = 0; odd < 2; ++odd) {
                // Columns 0 and 4 (1 and 5) of rows l .. l + 3, then 2 and 6 (3 and 7).
                u[l + odd] = _mm512_shuffle_f64x2(t[l + odd], t[l + 2 + odd], 0x88);
                u[l + 2 + odd] = _mm512_shuffle_f64x2(t[l + odd], t[l + 2 + odd], 0xdd);
            }
        w[0] = _mm512_shuffle_f64x2(u[0], u[4], 0x88);
        w[4] = _mm512_shuffle_f64x2(u[0], u[4], 0xdd);
        w[1] = _mm512_shuffle_f64x2(u[1], u[5], 0x88);
        w[5] = _mm512_shuffle_f64x2(u[1], u[5], 0xdd);
        w[2] = _mm512_shuffle_f64x2(u[2], u[6], 0x88);
        w[3] = _mm512_shuffle_f64x2(u[3], u[7], 0x88);
    }

    // Eight lanes of eight bytes (see fetch64).
    using Q = __m512i;
    // Runs read as words 8 bytes apart (Run), which take fewer loads; the
    // samples widen by a shuffle and a conversion each either way.
    static constexpr bool six_byte_words = false;
    // Nothing to prepare: sample() clears all but the sample's bytes.
    LINORA_LANE_OP Q spare_top(Q g) { return g; }
    // The S-byte sample at byte b of each lane's eight bytes, as a double
    // (the same whether the lanes went through spare_top or not).
    template <int S, std::size_t b, bool> LINORA_LANE_OP D sample(Q g) {
        return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(g, pick<S, b>()));
    }
    // The byte shuffle that moves bytes b .. b + S - 1 of each 8-byte lane to
    // its low end and clears the rest.
    template <int S, std::size_t b> LINORA_LANE_OP Q pick() {
        static_assert(b + S <= 8);
        // Byte indices count within each 16-byte lane of the shuffle.
        constexpr long long lo = low_bytes_from<S>(b), hi = low_bytes_from<S>(b + 8);
        return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
    }
    // Bits [shift, shift + width) of each lane, as 32-bit integers or doubles.
    template <int width> LINORA_LANE_OP I field32(I g, int shift) {
        return _mm256_and_si256(_mm256_srli_epi32(g, shift), _mm256_set1_epi32((1 << width) - 1));
    }
    template <int width> LINORA_LANE_OP D field64(__m512i g, int shift) {
        const __m512i f =
            _mm512_and_si512(_mm512_srli_epi64(g, shift), _mm512_set1_epi64((1 << width) - 1));
        return _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(f));
    }

    // Eight pixels of C channels from lanes of values 0..255 (0..65535 for
    // 16-bit samples), channels interleaved and written at once; with `room`,
    // up to over<T, C>() elements past them may be written too.
    template <class T, std::size_t C> LINORA_LANE_OP constexpr std::size_t over() {
        return C == 3 ? 8 : 0; // a 32-byte (64-byte) store for 24 elements
    }
    template <std::size_t C>
    LINORA_LANE_OP void store_all(std::uint8_t* out, const I (&q)[C], bool room) {
        if constexpr (C == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_cvtepi32_epi8(q[0]));
        } else {
            // Each lane's channels in its low three bytes (q[0] | q[1] << 8 |
            // q[2] << 16), then the lanes' three bytes side by side: twelve
            // bytes per half, the halves joined.
            const I pix = _mm256_ternarylogic_epi32(q[0], _mm256_slli_epi32(q[1], 8),
                                                    _mm256_slli_epi32(q[2], 16), 0xfe);
            const I rgb = _mm256_shuffle_epi8(
                pix, _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1,
                                      2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
            const I joined =
                _mm256_permutevar8x32_epi32(rgb, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
            if (room) {
                _mm256_storeu_si256(reinterpret_cast<I*>(out), joined);
                return;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(joined));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16),
                             _mm256_extracti128_si256(joined, 1));
        }
    }
    template <std::size_t C>
    LINORA_LANE_OP void store_all(std::uint16_t* out, const I (&q)[C], bool room) {
        if constexpr (C == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_cvtepi32_epi16(q[0]));
        } else {
            // Each lane's channels in the low six bytes of a quadword, then
            // the lanes' six bytes side by side: 48 bytes.
            __m512i pix = _mm512_cvtepu32_epi64(q[0]);
            pix = _mm512_or_si512(pix, _mm512_slli_epi64(_mm512_cvtepu32_epi64(q[1]), 16));
            pix = _mm512_or_si512(pix, _mm512_slli_epi64(_mm512_cvtepu32_epi64(q[2]), 32));
            const __m128i six =
                _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
            const __m512i rgb = _mm512_shuffle_epi8(pix, _mm512_broadcast_i32x4(six));
            const __m512i joined = _mm512_permutexvar_epi32(
                _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15), rgb);
            if (room) {
                _mm512_storeu_si512(out, joined);
                return;
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_castsi512_si256(joined));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                             _mm512_extracti32x4_epi32(joined, 2));
        }
    }
};

#include "warp/vector_kernels.inc"

} // namespace linora::detail::avx512

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
LINORA_TARGET_END
#endif
