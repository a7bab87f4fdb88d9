// Sizes and owned sample buffers: the one overflow check behind every size
// the library computes, and the calloc'ed (or malloc'ed) buffer that outputs
// live in.
#pragma once

#include "core_errors.hpp"

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

namespace linora {

// What size_product gives when the product overflows: a length that no
// buffer can have, so a length check against it fails and a size in bytes
// of it is refused.
inline constexpr std::size_t kSizeOverflow = std::numeric_limits<std::size_t>::max();

// The product of the factors, or kSizeOverflow when it does not fit in
// size_t (a zero factor gives 0).
template <class... N> constexpr std::size_t size_product(N... factors) noexcept {
    std::size_t product = 1;
    for (const std::size_t f : {std::size_t{factors}...})
        if (__builtin_mul_overflow(product, f, &product)) product = kSizeOverflow;
    return product;
}

// n * sizeof(T), or throws OutputTooLarge when it overflows.
template <class T> std::size_t byte_size(std::size_t n) {
    const std::size_t bytes = size_product(n, sizeof(T));
    if (bytes == kSizeOverflow) throw OutputTooLarge("buffer size overflows the address space");
    return bytes;
}

// Frees memory obtained from std::calloc or std::malloc.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// An owned array of samples, zero-initialised unless made by uninitialised().
// Its memory comes from std::calloc (std::malloc) so that it can be handed to
// another owner (the Python binding gives it to a NumPy array) and freed with
// std::free.
template <class T> class Buffer {
  public:
    Buffer() = default;

    // Allocates n zeroed samples. Throws OutputTooLarge when n * sizeof(T)
    // overflows and std::bad_alloc when the memory cannot be had.
    explicit Buffer(std::size_t n) : size_(n) {
        byte_size<T>(n);
        void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }

    // n samples left uninitialised, for outputs whose every sample the caller
    // writes: no zero-filling pass over memory that is written again anyway.
    // Throws as the constructor does.
    static Buffer uninitialised(std::size_t n) {
        byte_size<T>(n);
        void* p = std::malloc(n == 0 ? sizeof(T) : n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        Buffer b;
        b.data_.reset(static_cast<T*>(p));
        b.size_ = n;
        return b;
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

} // namespace linora
