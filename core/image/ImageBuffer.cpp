#include "core/image/ImageBuffer.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace alignopt {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;
// Below this a block is left to the ordinary allocator: rounding it up to
// whole huge pages would waste more than it saves.
constexpr std::size_t hugeThreshold = std::size_t{4} << 20;

bool onHugePages(std::size_t bytes) { return bytes >= hugeThreshold; }

std::size_t wholeHugePages(std::size_t bytes) { return (bytes + hugePage - 1) / hugePage * hugePage; }

} // namespace

void* allocateImageBytes(std::size_t bytes) {
    if (!onHugePages(bytes)) return ::operator new(bytes);
    if (bytes > static_cast<std::size_t>(-1) - hugePage) throw std::bad_alloc();
    const std::size_t rounded = wholeHugePages(bytes);
    void* block = std::aligned_alloc(hugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    // Advice only: where huge pages are off or unavailable the block works as
    // it is, so the outcome is not checked.
    madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return block;
}

void releaseImageBytes(void* block, std::size_t bytes) noexcept {
    if (!onHugePages(bytes)) {
        ::operator delete(block);
        return;
    }
    std::free(block);
}

} // namespace alignopt
