// The owned array behind the detector's large per-call buffers (working
// raster, level-line field, used marks): its elements start uninitialised,
// because every one of them is written before it is read, by the parallel
// loop that fills it. A std::vector would first write zeros over all of it
// on the calling thread, touching every page twice and faulting them in one
// thread; here the first write of each page happens in the loop, spread over
// the workers.
#pragma once

#include "buffer.hpp"
#include "huge_pages.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>

namespace linora::detector {

template <class T> class Array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

  public:
    Array() = default;

    // n elements, not initialised; large arrays are backed by huge pages
    // where the kernel offers them. Throws OutputTooLarge when n * sizeof(T)
    // overflows and std::bad_alloc when the memory cannot be had.
    explicit Array(std::size_t n) : data_(allocate(n)), size_(n) {
        advise_huge_pages(data_.get(), n * sizeof(T));
    }

    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_.get(); }
    T* end() noexcept { return data_.get() + size_; }
    const T* begin() const noexcept { return data_.get(); }
    const T* end() const noexcept { return data_.get() + size_; }

  private:
    static T* allocate(std::size_t n) {
        byte_size<T>(n);
        return new T[n]; // default-initialised: not written
    }

    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

} // namespace linora::detector
