// The instruction sets that loops are compiled for, and the choice among them
// at run time.
//
// A vector loop is written once, in a kernel source that each instruction set
// includes inside its own namespace (`scalar`, `avx2`, `avx512`, next to the
// code that calls them), so that every instance has a name grep finds. The
// scalar instance is compiled for the target's baseline and exists on every
// architecture; the x86-64 instances are compiled only for x86-64, where this
// header defines LINORA_X86_VECTORS. Every instance performs the scalar
// definition's operations in the same order (no fused multiply-add:
// -ffp-contract=off), so the choice never changes a result.
#pragma once

#include <atomic>
#include <cstddef>
#include <iterator>

#if defined(__x86_64__) || defined(_M_X64)
#define LINORA_X86_VECTORS
#endif

// The instruction sets of this build, narrowest first, as X(namespace,
// enumerator of Isa): a CPU that runs one runs those before it. Each
// subsystem lists its instances with it, in this order, for active_isa() to
// index. Avx512 stands for its foundation with the byte and word (BW),
// doubleword and quadword (DQ) and 128/256-bit (VL) instructions, which every
// AVX-512 CPU but the Xeon Phi has.
#if defined(LINORA_X86_VECTORS)
#define LINORA_X86_ISAS(X) X(avx2, Avx2) X(avx512, Avx512)
#else
#define LINORA_X86_ISAS(X)
#endif
#define LINORA_ISAS(X) X(scalar, Scalar) LINORA_X86_ISAS(X)

// Compiles the functions defined between LINORA_TARGET_AVX2 (or _AVX512) and
// LINORA_TARGET_END for that instruction set; code outside stays at the
// baseline, so inline functions of other headers are never emitted with the
// wider instructions. GCC's target pragma and clang's attribute pragma do the
// same; clang ignores the former.
#if defined(__clang__)
#define LINORA_TARGET_AVX2                                                                         \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
// clang-format off
#define LINORA_TARGET_AVX512 _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512bw,avx512dq,avx512vl\"))), apply_to = function)")
// clang-format on
#define LINORA_TARGET_END _Pragma("clang attribute pop")
#else
#define LINORA_TARGET_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define LINORA_TARGET_AVX512                                                                       \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512bw,avx512dq,avx512vl\")")
#define LINORA_TARGET_END _Pragma("GCC pop_options")
#endif

namespace linora {

#define LINORA_ISA_ENUMERATOR(isa, name) name,
enum class Isa : int { LINORA_ISAS(LINORA_ISA_ENUMERATOR) };
#undef LINORA_ISA_ENUMERATOR

namespace detail {

#define LINORA_ISA_NAME(isa, name) #isa,
inline constexpr const char* isa_names[] = {LINORA_ISAS(LINORA_ISA_NAME)};
#undef LINORA_ISA_NAME

// The widest instruction set of this build.
inline constexpr Isa widest_isa = static_cast<Isa>(std::size(isa_names) - 1);

inline Isa cpu_isa() noexcept {
#if defined(LINORA_X86_VECTORS)
    static const Isa isa = [] {
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
            return Isa::Avx512;
        return __builtin_cpu_supports("avx2") ? Isa::Avx2 : Isa::Scalar;
    }();
    return isa;
#else
    return Isa::Scalar;
#endif
}

inline std::atomic<int> isa_limit{static_cast<int>(widest_isa)};

} // namespace detail

// The widest instruction set that both the running CPU and this build have,
// within the limit that at_every_isa sets.
inline Isa active_isa() noexcept {
    const int limit = detail::isa_limit.load(std::memory_order_relaxed);
    const int cpu = static_cast<int>(detail::cpu_isa());
    return static_cast<Isa>(cpu < limit ? cpu : limit);
}

// The instance for active_isa() among one per instruction set, listed in the
// order of LINORA_ISAS.
template <class T, std::size_t N> T& for_active_isa(T (&by_isa)[N]) noexcept {
    static_assert(N == std::size(detail::isa_names), "one instance per instruction set");
    return by_isa[static_cast<int>(active_isa())];
}

// Calls check(name) with active_isa() limited to each instruction set the
// machine runs, the scalar one first, then lifts the limit. For tests, which
// compare every width with the scalar loops; not thread-safe against running
// operations.
template <class F> void at_every_isa(F check) {
    for (int i = 0; i <= static_cast<int>(detail::cpu_isa()); ++i) {
        detail::isa_limit.store(i, std::memory_order_relaxed);
        check(detail::isa_names[i]);
    }
    detail::isa_limit.store(static_cast<int>(detail::widest_isa), std::memory_order_relaxed);
}

} // namespace linora
