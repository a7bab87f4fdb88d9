// A hint for the large buffers that a call fills once: working buffers of the
// detector and the outputs of resampling.
#pragma once

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdint>

namespace linora {

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
// transparent huge pages when they are first touched: one page fault per
// 2 MiB instead of one per 4 KiB, which for buffers of many megabytes filled
// once per call is a noticeable part of the run time. Only memory not yet
// touched benefits. A hint only: failure or a kernel without huge pages
// changes nothing, and systems without the advice (other than Linux) skip
// it.
inline void advise_huge_pages(const void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

} // namespace linora
