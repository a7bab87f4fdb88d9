// glibc ends a thread (pthread_exit, cancellation, and so the interpreter
// ending a daemon thread at exit) by a forced unwind: an exception that every
// catch (...) on its way must let through, never swallow or convert. Code
// that must catch everything catches it first by name and rethrows it:
//
//     LINORA_CATCHES_FORCED_UNWIND void f() {
//         try { ... }
//     #if LINORA_FORCED_UNWIND
//         catch (abi::__forced_unwind&) { ...; throw; }
//     #endif
//         catch (...) { ... }
//     }
//
// The handler's reference is bound to no object (the unwind carries none),
// which UBSan would report; the attribute turns that one check off.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define LINORA_FORCED_UNWIND 1
#define LINORA_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define LINORA_FORCED_UNWIND 0
#define LINORA_CATCHES_FORCED_UNWIND
#endif
