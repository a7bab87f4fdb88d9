// Marks a function to be compiled once per vector width (AVX-512, AVX2 and
// the baseline), the widest that the running CPU supports being chosen when
// the library is loaded. Every clone performs the same per-element
// operations, so the choice never changes a result.
#pragma once

// The load-time resolvers run before ThreadSanitizer's runtime is ready and
// crash when instrumented, so ThreadSanitizer builds keep the baseline only.
#if defined(__SANITIZE_THREAD__)
#define LINORA_VECTOR_CLONES
#else
#define LINORA_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
