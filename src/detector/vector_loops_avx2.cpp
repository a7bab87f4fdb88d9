// The detector's vector loops compiled for AVX2 (x86-64 builds only).
#include "detector/vector_loops.hpp"

#include "simd.hpp"

#include <cmath>

#if !defined(LINORA_X86_VECTORS)
#error "build this file only for x86-64 (with LINORA_X86_VECTORS)"
#endif

LINORA_TARGET_AVX2
namespace linora::detector::avx2 {
#include "detector/vector_loops.inc"
} // namespace linora::detector::avx2
LINORA_TARGET_END
