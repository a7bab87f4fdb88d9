// What the instruction sets' lane operations share: the operations whose
// intrinsics differ only in their prefix, the control bytes that pick a
// sample out of an 8-byte lane, and the writing of four 8-bit pixels of C
// channels from four 32-bit lanes per channel holding values 0 to 255 (packed,
// channels interleaved, stored at once).
//
// Each instruction-set file includes this after its target pragma, and the
// functions have internal linkage, so every file compiles its own copy for
// its own instruction set.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// A lane operation: a static member function of the Lanes type, always
// inlined.
#define LINORA_LANE_OP [[gnu::always_inline]] static inline

// The lane operations on doubles (type D, intrinsics prefixed P) and on
// 32-bit indices (type I, prefixed Q). max and min give a where a is not
// below (above) b, else b: NaN in a gives b.
// clang-format off
#define LINORA_PREFIXED_LANE_OPS(P, Q)                                                             \
    LINORA_LANE_OP D set1(double v) { return P##_set1_pd(v); }                                     \
    LINORA_LANE_OP D add(D a, D b) { return P##_add_pd(a, b); }                                    \
    LINORA_LANE_OP D sub(D a, D b) { return P##_sub_pd(a, b); }                                    \
    LINORA_LANE_OP D mul(D a, D b) { return P##_mul_pd(a, b); }                                    \
    LINORA_LANE_OP D div(D a, D b) { return P##_div_pd(a, b); }                                    \
    LINORA_LANE_OP D max(D a, D b) { return P##_max_pd(a, b); }                                    \
    LINORA_LANE_OP D min(D a, D b) { return P##_min_pd(a, b); }                                    \
    LINORA_LANE_OP void store(double* p, D v) { P##_store_pd(p, v); }                              \
    LINORA_LANE_OP D load(const double* p) { return P##_load_pd(p); }                              \
    LINORA_LANE_OP D loadu(const double* p) { return P##_loadu_pd(p); }                            \
    LINORA_LANE_OP I cvtt(D a) { return P##_cvttpd_epi32(a); }                                     \
    LINORA_LANE_OP D cvt(I a) { return P##_cvtepi32_pd(a); }                                       \
    LINORA_LANE_OP I set1i(std::int32_t v) { return Q##_set1_epi32(v); }                           \
    LINORA_LANE_OP I addi(I a, I b) { return Q##_add_epi32(a, b); }                                \
    LINORA_LANE_OP I subi(I a, I b) { return Q##_sub_epi32(a, b); }                                \
    LINORA_LANE_OP I mini(I a, I b) { return Q##_min_epi32(a, b); }                                \
    LINORA_LANE_OP I maxi(I a, I b) { return Q##_max_epi32(a, b); }                                \
    LINORA_LANE_OP I mulloi(I a, I b) { return Q##_mullo_epi32(a, b); }
// clang-format on

namespace linora::detail {
namespace {

// The eight control bytes of a byte shuffle that moves bytes at .. at + S - 1
// of an 8-byte lane to its low end and clears the rest (0x80).
template <int S> constexpr long long low_bytes_from(std::size_t at) {
    unsigned long long w = 0x8080808080808080ull;
    for (int k = 0; k < S; ++k)
        w = (w & ~(0xffull << (8 * k))) | (static_cast<unsigned long long>(at + k) << (8 * k));
    return static_cast<long long>(w);
}

// With `room`, three channels are written as 16 bytes, the last four past
// the pixels.
template <std::size_t C>
[[gnu::always_inline]] inline void store_four_u8(std::uint8_t* out, const __m128i (&q)[C],
                                                 bool room) {
    const __m128i b = _mm_packus_epi16(_mm_packus_epi32(q[0], q[C > 1 ? 1 : 0]),
                                       _mm_packus_epi32(q[C - 1], q[C - 1]));
    if constexpr (C == 1) {
        const std::int32_t v = _mm_cvtsi128_si32(b);
        __builtin_memcpy(out, &v, 4);
    } else {
        const __m128i rgb = _mm_shuffle_epi8(
            b, _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
        if (room) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), rgb);
            return;
        }
        const long long lo = _mm_cvtsi128_si64(rgb);
        const std::int32_t hi = _mm_extract_epi32(rgb, 2);
        __builtin_memcpy(out, &lo, 8);
        __builtin_memcpy(out + 8, &hi, 4);
    }
}

} // namespace
} // namespace linora::detail
