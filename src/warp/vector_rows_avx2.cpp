// The resampling row kernels compiled for AVX2: four lanes of doubles (on
// x86-64; elsewhere this file compiles to nothing).
#include "simd.hpp"

#if defined(LINORA_X86_VECTORS)
#include "warp/vector_rows.hpp"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

LINORA_TARGET_AVX2

#include "warp/vector_pack.hpp"

namespace linora::detail::avx2 {

struct Lanes {
    static constexpr int N = 4;
    using D = __m256d; // lane values
    using I = __m128i; // lane indices, 32-bit
    using M = __m256d; // lane mask

    LINORA_PREFIXED_LANE_OPS(_mm256, _mm)
    LINORA_LANE_OP D floor(D a) { return _mm256_floor_pd(a); }
    LINORA_LANE_OP D trunc(D a) {
        return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    LINORA_LANE_OP M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    LINORA_LANE_OP M ord(D a) { return _mm256_cmp_pd(a, a, _CMP_ORD_Q); }
    LINORA_LANE_OP M and_(M a, M b) { return _mm256_and_pd(a, b); }
    LINORA_LANE_OP M and_not(M a, M b) { return _mm256_andnot_pd(a, b); } // b and not a
    LINORA_LANE_OP unsigned bits(M a) { return static_cast<unsigned>(_mm256_movemask_pd(a)); }
    LINORA_LANE_OP M all() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    // v where m holds, +0.0 elsewhere.
    LINORA_LANE_OP D keep(D v, M m) { return _mm256_and_pd(v, m); }
    LINORA_LANE_OP D widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

    LINORA_LANE_OP void storei(std::int32_t* p, I v) {
        _mm_store_si128(reinterpret_cast<I*>(p), v);
    }
    LINORA_LANE_OP bool any_gt(I a, I b) { return _mm_movemask_epi8(_mm_cmpgt_epi32(a, b)) != 0; }
    // Bit l set where lane l of a is at most that of b, as unsigned (signed)
    // integers.
    LINORA_LANE_OP unsigned le_u32(I a, I b) {
        return static_cast<unsigned>(
            _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_min_epu32(a, b), a))));
    }
    LINORA_LANE_OP unsigned le_i32(I a, I b) {
        return ~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(a, b)))) &
               0xfu;
    }

    // 4 or 8 bytes from element offset o[l] of `base`, per lane.
    template <class T> LINORA_LANE_OP I fetch32(const T* base, const std::int32_t* o) {
        std::int32_t l[N];
        for (int i = 0; i < N; ++i)
            __builtin_memcpy(&l[i], base + o[i], 4);
        return _mm_setr_epi32(l[0], l[1], l[2], l[3]);
    }
    template <class T> LINORA_LANE_OP __m256i fetch64(const T* base, const std::int32_t* o) {
        long long l[N];
        for (int i = 0; i < N; ++i)
            __builtin_memcpy(&l[i], base + o[i], 8);
        return _mm256_setr_epi64x(l[0], l[1], l[2], l[3]);
    }
    // The 16 bytes from element offset o[l] of `base` per lane: the first
    // eight in lo, the next eight in hi (lane l of each).
    template <class T>
    LINORA_LANE_OP void fetch128(const T* base, const std::int32_t* o, __m256i& lo, __m256i& hi) {
        __m128i x[N];
        for (int i = 0; i < N; ++i)
            x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + o[i]));
        const __m256i even = _mm256_inserti128_si256(_mm256_castsi128_si256(x[0]), x[2], 1);
        const __m256i odd = _mm256_inserti128_si256(_mm256_castsi128_si256(x[1]), x[3], 1);
        lo = _mm256_unpacklo_epi64(even, odd);
        hi = _mm256_unpackhi_epi64(even, odd);
    }
    // w[j] lane l = table[6 * k[l] + j] for j < 6: four table rows loaded
    // and transposed.
    LINORA_LANE_OP void rows6(const double* table, const std::int32_t* k, D (&w)[6]) {
        D a[4];
        __m128d b[4];
        for (int l = 0; l < 4; ++l) {
            a[l] = _mm256_loadu_pd(table + 6 * k[l]);
            b[l] = _mm_loadu_pd(table + 6 * k[l] + 4);
        }
        const D t0 = _mm256_unpacklo_pd(a[0], a[1]); // columns 0, 2 of rows 0, 1
        const D t1 = _mm256_unpackhi_pd(a[0], a[1]); // columns 1, 3
        const D t2 = _mm256_unpacklo_pd(a[2], a[3]);
        const D t3 = _mm256_unpackhi_pd(a[2], a[3]);
        w[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
        w[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
        w[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
        w[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
        const D b02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(b[0]), b[2], 1);
        const D b13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(b[1]), b[3], 1);
        w[4] = _mm256_unpacklo_pd(b02, b13);
        w[5] = _mm256_unpackhi_pd(b02, b13);
    }

    // Four lanes of eight bytes (see fetch64).
    using Q = __m256i;
    // Runs read as words 6 bytes apart (Run), whose samples then widen by a
    // shuffle and a subtraction each (sample with `spare`).
    static constexpr bool six_byte_words = true;
    // The top two bytes of each lane set to those of 2^52 (0x43, 0x30), for
    // lanes whose samples all lie in their low six bytes.
    LINORA_LANE_OP Q spare_top(Q g) {
        return _mm256_blend_epi16(g, _mm256_set1_epi64x(0x4330000000000000), 0x88);
    }
    // The S-byte sample at byte b of each lane's eight bytes, as a double:
    // the sample moved into the low bits of 2^52's mantissa, minus 2^52. With
    // `spare`, the lanes went through spare_top, and the shuffle takes the
    // exponent bytes along.
    template <int S, std::size_t b, bool spare> LINORA_LANE_OP D sample(Q g) {
        Q bits;
        if constexpr (spare)
            bits = _mm256_shuffle_epi8(g, pick<S, b, true>());
        else
            bits = _mm256_or_si256(_mm256_shuffle_epi8(g, pick<S, b, false>()),
                                   _mm256_set1_epi64x(0x4330000000000000));
        return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(0x1p52));
    }
    // The byte shuffle that moves bytes b .. b + S - 1 of each 8-byte lane to
    // its low end and clears the rest, except the top two bytes with `top`,
    // which stay in place.
    template <int S, std::size_t b, bool top> LINORA_LANE_OP Q pick() {
        static_assert(b + S <= (top ? 6 : 8));
        constexpr long long keep = 0x0000ffffffffffff;
        // Byte indices count within each 16-byte lane of the shuffle.
        constexpr long long lo =
            top ? (low_bytes_from<S>(b) & keep) | 0x0706000000000000 : low_bytes_from<S>(b);
        constexpr long long hi =
            top ? (low_bytes_from<S>(b + 8) & keep) | 0x0f0e000000000000 : low_bytes_from<S>(b + 8);
        return _mm256_set_epi64x(hi, lo, hi, lo);
    }
    // Bits [shift, shift + width) of each lane, as 32-bit integers or doubles.
    template <int width> LINORA_LANE_OP I field32(I g, int shift) {
        return _mm_and_si128(_mm_srli_epi32(g, shift), _mm_set1_epi32((1 << width) - 1));
    }
    template <int width> LINORA_LANE_OP D field64(__m256i g, int shift) {
        const __m256i f =
            _mm256_and_si256(_mm256_srli_epi64(g, shift), _mm256_set1_epi64x((1 << width) - 1));
        const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        return _mm256_cvtepi32_pd(
            _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(f, low_dwords)));
    }

    // Four pixels of C channels from lanes of values 0..255 (0..65535 for
    // 16-bit samples), channels interleaved and written at once; with `room`,
    // up to over<T, C>() elements past them may be written too.
    template <class T, std::size_t C> LINORA_LANE_OP constexpr std::size_t over() {
        return sizeof(T) == 1 && C == 3 ? 4 : 0;
    }
    template <std::size_t C>
    LINORA_LANE_OP void store_all(std::uint8_t* out, const I (&q)[C], bool room) {
        store_four_u8<C>(out, q, room);
    }
    template <std::size_t C>
    LINORA_LANE_OP void store_all(std::uint16_t* out, const I (&q)[C], bool) {
        if constexpr (C == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(q[0], q[0]));
        } else {
            // Words r0 g0 r1 g1 r2 g2 r3 g3 and b0 b1 b2 b3, merged into
            // r0 g0 b0 r1 g1 b1 r2 g2 | b2 r3 g3 b3.
            const __m128i rg =
                _mm_unpacklo_epi16(_mm_packus_epi32(q[0], q[0]), _mm_packus_epi32(q[1], q[1]));
            const __m128i b = _mm_packus_epi32(q[2], q[2]);
            const __m128i lo = _mm_blend_epi16(
                _mm_shuffle_epi8(rg,
                                 _mm_setr_epi8(0, 1, 2, 3, 0, 0, 4, 5, 6, 7, 0, 0, 8, 9, 10, 11)),
                _mm_shuffle_epi8(b, _mm_setr_epi8(0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 3, 0, 0, 0, 0)),
                0x24);
            const __m128i hi = _mm_blend_epi16(
                _mm_shuffle_epi8(rg,
                                 _mm_setr_epi8(0, 0, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)),
                _mm_shuffle_epi8(b, _mm_setr_epi8(4, 5, 0, 0, 0, 0, 6, 7, 0, 0, 0, 0, 0, 0, 0, 0)),
                0x09);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), hi);
        }
    }
};

#include "warp/vector_kernels.inc"

} // namespace linora::detail::avx2

LINORA_TARGET_END
#endif
