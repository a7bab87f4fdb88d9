// Types shared by the detector and the resampler: the length-mismatch error
// value, the refusals a computation can raise, owned sample buffers and the
// saturating float-to-integer conversions that every routine uses.
//
// Nothing here knows about Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace linora {

// A buffer whose length does not match the dimensions stated with it.
struct SizeMismatch {
    std::uint64_t expected;
    std::uint64_t got;

    friend bool operator==(const SizeMismatch&, const SizeMismatch&) = default;
};

// "SizeMismatch { expected: 12, got: 10 }"
std::string debug_text(const SizeMismatch& e);

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

// Truncates toward zero and saturates at the limits of I; NaN gives 0.
// A plain cast of NaN or of an out-of-range value is undefined behaviour in
// C++, so every float-to-integer conversion of the library goes through here.
template <class I> constexpr I saturating_trunc(double v) noexcept {
    static_assert(std::is_integral_v<I>);
    if (!(v == v)) return 0;
    // The limits as doubles: lo is exact (zero or a negative power of two),
    // hi_excl is the power of two just above the largest value of I.
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hi_excl = static_cast<double>(std::numeric_limits<I>::max() / 2 + 1) * 2.0;
    if (v <= lo) return std::numeric_limits<I>::min();
    if (v >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}

// A float-to-integer floor with the same saturation: std::floor, then
// saturating_trunc.
template <class I> inline I saturating_floor(double v) noexcept {
    return saturating_trunc<I>(std::floor(v));
}

// Frees memory obtained from std::calloc.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// An owned, zero-initialised array of samples. Its memory comes from
// std::calloc so that it can be handed to another owner (the Python binding
// gives it to a NumPy array) and freed with std::free.
template <class T> class Buffer {
  public:
    Buffer() = default;

    // Allocates n zeroed samples. Throws OutputTooLarge when n * sizeof(T)
    // overflows and std::bad_alloc when the memory cannot be had.
    explicit Buffer(std::size_t n) : size_(n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw OutputTooLarge("buffer size overflows the address space");
        void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }

    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_.get()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_.get()[i]; }

    // Gives up ownership; the caller frees the memory with std::free.
    T* release() noexcept {
        size_ = 0;
        return data_.release();
    }

  private:
    std::unique_ptr<T, FreeDeleter> data_;
    std::size_t size_ = 0;
};

// a * b, or throws OutputTooLarge when the product does not fit in size_t.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r))
        throw OutputTooLarge("buffer size overflows the address space");
    return r;
}

} // namespace linora
