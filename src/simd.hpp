// The instruction sets that loops are compiled for, and the choice among them
// at run time.
//
// A vector loop is written once, in a kernel source that each instruction set
// includes inside its own namespace (`scalar`, `avx2`, `avx512`, next to the
// code that calls them), so that every instance has a name grep finds. The
// scalar instance is compiled for the target's baseline and exists on every
// architecture; the x86-64 instances are compiled only where the build
// defines LINORA_X86_VECTORS (CMake does on x86-64). Every instance performs
// the scalar definition's operations in the same order (no fused
// multiply-add: -ffp-contract=off), so the choice never changes a result.
#pragma once

#include <atomic>

#if defined(LINORA_X86_VECTORS) && !(defined(__x86_64__) || defined(_M_X64))
#error "LINORA_X86_VECTORS is for x86-64 targets only"
#endif

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

// Ordered by width: a CPU that runs one runs those below it. Avx512 stands
// for its foundation with the byte and word (BW), doubleword and quadword
// (DQ) and 128/256-bit (VL) instructions, which every AVX-512 CPU but the
// Xeon Phi has.
enum class Isa : int { Scalar = 0, Avx2 = 1, Avx512 = 2 };

namespace detail {

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

inline std::atomic<int> isa_limit{static_cast<int>(Isa::Avx512)};

} // namespace detail

// The widest instruction set that both the running CPU and this build have,
// within the limit set by limit_isa.
inline Isa active_isa() noexcept {
    const int limit = detail::isa_limit.load(std::memory_order_relaxed);
    const int cpu = static_cast<int>(detail::cpu_isa());
    return static_cast<Isa>(cpu < limit ? cpu : limit);
}

// Caps active_isa() (Isa::Avx512, the default, leaves the CPU's best). For
// tests, which run every width the machine has against the scalar loops; not
// thread-safe against running operations.
inline void limit_isa(Isa isa) noexcept {
    detail::isa_limit.store(static_cast<int>(isa), std::memory_order_relaxed);
}

} // namespace linora
