// The floating-point environment every computation runs in.
//
// Results are defined in IEEE 754 binary arithmetic with round-to-nearest,
// sub-normal numbers kept (no flush-to-zero, no denormals-are-zero) and
// every exception masked: the C library's default environment. A caller's
// thread may be in another mode (a shared library compiled with unsafe math optimisations sets
// flush-to-zero on the thread that loads it; a program may call fesetround),
// and a thread inherits the mode of the thread that created it. So:
//
// - every entry point of the core holds a DefaultFloatEnv for the length of
//   the call: the calling thread computes in the default environment, and
//   the caller's environment (control modes and status flags alike) is put
//   back exactly on every way out, also when the call throws;
// - every pool worker enters the default environment when it starts, and
//   runs nothing but the library's rows, which never change it;
// - what is computed once per process (the choice of the hypot path) is
//   computed under a DefaultFloatEnv too.
#pragma once

#include <cfenv>

namespace linora {

// While alive, the calling thread runs in the default floating-point
// environment; the previous one comes back at the end.
class DefaultFloatEnv {
  public:
    DefaultFloatEnv() noexcept {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultFloatEnv() { std::fesetenv(&saved_); }
    DefaultFloatEnv(const DefaultFloatEnv&) = delete;
    DefaultFloatEnv& operator=(const DefaultFloatEnv&) = delete;

    // For a thread that only ever runs the library's work (a pool worker):
    // the default environment from now on.
    static void enter_for_good() noexcept { std::fesetenv(FE_DFL_ENV); }

  private:
    std::fenv_t saved_;
};

} // namespace linora
