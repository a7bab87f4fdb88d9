// The detector's vector loops, one instance per instruction set of
// LINORA_ISAS: the kernel source included once per namespace, each in its
// target region, and the choice of instance at run time.
#include "detector/vector_loops.hpp"

#include "detector/libm.hpp"

#include "simd.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace linora::detector {

namespace scalar {
constexpr std::size_t kVectorBytes = 16; // SSE2, NEON
#include "detector/vector_loops.inc"
} // namespace scalar

#if defined(LINORA_X86_VECTORS)
LINORA_TARGET_AVX2
namespace avx2 {
constexpr std::size_t kVectorBytes = 32;
#include "detector/vector_loops.inc"
} // namespace avx2
LINORA_TARGET_END

LINORA_TARGET_AVX512
namespace avx512 {
constexpr std::size_t kVectorBytes = 64;
#include "detector/vector_loops.inc"
} // namespace avx512
LINORA_TARGET_END
#endif

const VectorLoops& vector_loops() noexcept {
#define LINORA_LOOPS_OF(isa, name) &isa::vector_loops,
    static constexpr const VectorLoops* by_isa[] = {LINORA_ISAS(LINORA_LOOPS_OF)};
#undef LINORA_LOOPS_OF
    return *for_active_isa(by_isa);
}

} // namespace linora::detector
