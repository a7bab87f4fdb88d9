// The resampling row kernels compiled for AVX2: four lanes of doubles (x86-64 builds
// only).
#include "simd.hpp"
#include "warp/vector_isa.hpp"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if !defined(LINORA_X86_VECTORS)
#error "build this file only for x86-64 (with LINORA_X86_VECTORS)"
#endif

LINORA_TARGET_AVX2

#include "warp/vector_pack.hpp"

namespace linora::detail::avx2 {

#define LINORA_LANE_OP [[gnu::always_inline]] static inline

struct Lanes {
    static constexpr int N = 4;
    using D = __m256d; // lane values
    using I = __m128i; // lane indices, 32-bit
    using M = __m256d; // lane mask

    LINORA_LANE_OP D set1(double v) { return _mm256_set1_pd(v); }
    LINORA_LANE_OP D add(D a, D b) { return _mm256_add_pd(a, b); }
    LINORA_LANE_OP D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    LINORA_LANE_OP D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    LINORA_LANE_OP D div(D a, D b) { return _mm256_div_pd(a, b); }
    // a where a is not below (above) b, else b; NaN in a gives b.
    LINORA_LANE_OP D max(D a, D b) { return _mm256_max_pd(a, b); }
    LINORA_LANE_OP D min(D a, D b) { return _mm256_min_pd(a, b); }
    LINORA_LANE_OP D floor(D a) { return _mm256_floor_pd(a); }
    LINORA_LANE_OP D trunc(D a) {
        return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    LINORA_LANE_OP M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    LINORA_LANE_OP M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    LINORA_LANE_OP M ord(D a) { return _mm256_cmp_pd(a, a, _CMP_ORD_Q); }
    LINORA_LANE_OP M and_(M a, M b) { return _mm256_and_pd(a, b); }
    LINORA_LANE_OP M and_not(M a, M b) { return _mm256_andnot_pd(a, b); } // b and not a
    LINORA_LANE_OP unsigned bits(M a) { return static_cast<unsigned>(_mm256_movemask_pd(a)); }
    // v where m holds, +0.0 elsewhere.
    LINORA_LANE_OP D keep(D v, M m) { return _mm256_and_pd(v, m); }
    LINORA_LANE_OP D widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    LINORA_LANE_OP void store(double* p, D v) { _mm256_store_pd(p, v); }
    LINORA_LANE_OP D load(const double* p) { return _mm256_load_pd(p); }
    LINORA_LANE_OP D loadu(const double* p) { return _mm256_loadu_pd(p); }
    LINORA_LANE_OP I cvtt(D a) { return _mm256_cvttpd_epi32(a); }
    LINORA_LANE_OP D cvt(I a) { return _mm256_cvtepi32_pd(a); }

    LINORA_LANE_OP I set1i(std::int32_t v) { return _mm_set1_epi32(v); }
    LINORA_LANE_OP I addi(I a, I b) { return _mm_add_epi32(a, b); }
    LINORA_LANE_OP I mini(I a, I b) { return _mm_min_epi32(a, b); }
    LINORA_LANE_OP I maxi(I a, I b) { return _mm_max_epi32(a, b); }
    LINORA_LANE_OP I mulloi(I a, I b) { return _mm_mullo_epi32(a, b); }
    LINORA_LANE_OP void storei(std::int32_t* p, I v) {
        _mm_store_si128(reinterpret_cast<I*>(p), v);
    }
    LINORA_LANE_OP bool any_gt(I a, I b) { return _mm_movemask_epi8(_mm_cmpgt_epi32(a, b)) != 0; }
    // Four table entries at element offsets `off` (the masked gather, whose
    // pass-through value is defined).
    LINORA_LANE_OP D gather(const double* base, I off) {
        const D all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, off, all, 8);
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

    // Four 8-bit pixels of C channels from lanes of values 0..255.
    template <std::size_t C> LINORA_LANE_OP void store_u8(std::uint8_t* out, const I (&q)[C]) {
        store_four_u8<C>(out, q);
    }
};

#undef LINORA_LANE_OP

using V = Lanes;

#include "warp/vector_kernels.inc"

} // namespace linora::detail::avx2

LINORA_TARGET_END
