// The errors of the computation core: the length mismatch a computation
// returns, and the refusals it can throw.
//
// Nothing here knows about Python.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace linora {

// A buffer whose length does not match the dimensions stated with it.
struct SizeMismatch {
    std::uint64_t expected;
    std::uint64_t got;

    friend bool operator==(const SizeMismatch&, const SizeMismatch&) = default;
};

// "expected a buffer of length 12 (got 10)"
std::string to_string(const SizeMismatch& e);

// Either a result or the SizeMismatch that prevented it.
template <class T> using Checked = std::variant<T, SizeMismatch>;

// A broken invariant or an internal refusal inside a computation (for example
// a zero row length handed to the row splitter). The Python binding turns it
// into its internal-error exception; the process always goes on.
class InternalError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An input the computation cannot represent (its working raster would not fit
// the 32-bit pixel indices of the detector). The binding raises ValueError.
class InputTooLarge : public std::length_error {
  public:
    using std::length_error::length_error;
};

// An output whose size in bytes overflows or cannot be allocated. The binding
// raises MemoryError with this text.
class OutputTooLarge : public std::bad_alloc {
  public:
    explicit OutputTooLarge(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

  private:
    std::string what_;
};

} // namespace linora
