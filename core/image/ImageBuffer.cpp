#include "core/image/ImageBuffer.h"

#include <array>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace alignopt {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;

// From one huge page up, blocks are rounded to whole huge pages: a 512 x 512
// float64 image fills exactly one.
bool onHugePages(std::size_t bytes) { return bytes >= hugePage; }

std::size_t blockBytes(std::size_t bytes) {
    return onHugePages(bytes) ? (bytes + hugePage - 1) / hugePage * hugePage : bytes;
}

void* freshBlock(std::size_t bytes) {
    if (!onHugePages(bytes)) return ::operator new(bytes);
    void* block = std::aligned_alloc(hugePage, bytes);
    if (block == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    // Advice only: where huge pages are off or unavailable the block works as
    // it is, so the outcome is not checked.
    madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

void releaseBlock(void* block, std::size_t bytes) noexcept {
    if (onHugePages(bytes)) {
        std::free(block);
    } else {
        ::operator delete(block);
    }
}

// The blocks a thread released last, for its next requests of the same
// sizes. A registration makes and drops the same buffers for every frame of
// a stack; reused blocks are already faulted in, where the process
// allocator hands freed memory back to the system and every frame pays the
// faults again (on virtual machines as much time as the arithmetic). The
// bounds keep what one thread holds between calls small.
class BlockCache {
public:
    static constexpr std::size_t smallest = std::size_t{64} << 10;
    static constexpr std::size_t capacity = std::size_t{64} << 20;

    BlockCache() = default;
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    ~BlockCache() {
        for (std::size_t k = 0; k < count_; ++k) releaseBlock(blocks_[k].start, blocks_[k].bytes);
    }

    void* take(std::size_t bytes) noexcept {
        for (std::size_t k = 0; k < count_; ++k) {
            if (blocks_[k].bytes != bytes) continue;
            void* start = blocks_[k].start;
            held_ -= bytes;
            blocks_[k] = blocks_[--count_];
            return start;
        }
        return nullptr;
    }

    bool keep(void* start, std::size_t bytes) noexcept {
        if (bytes < smallest || count_ == blocks_.size() || held_ + bytes > capacity) return false;
        blocks_[count_++] = {start, bytes};
        held_ += bytes;
        return true;
    }

private:
    struct Block {
        void* start;
        std::size_t bytes;
    };
    std::array<Block, 24> blocks_{};
    std::size_t count_ = 0;
    std::size_t held_ = 0;
};

#if defined(__SANITIZE_ADDRESS__)
// Reuse would hide a use after release from the sanitizer.
constexpr bool reuseBlocks = false;
#else
constexpr bool reuseBlocks = true;
#endif

BlockCache& threadCache() {
    thread_local BlockCache cache;
    return cache;
}

} // namespace

void* allocateImageBytes(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - hugePage) throw std::bad_alloc();
    const std::size_t size = blockBytes(bytes);
    if constexpr (reuseBlocks) {
        if (void* block = threadCache().take(size)) return block;
    }
    return freshBlock(size);
}

void releaseImageBytes(void* block, std::size_t bytes) noexcept {
    const std::size_t size = blockBytes(bytes);
    if constexpr (reuseBlocks) {
        if (threadCache().keep(block, size)) return;
    }
    releaseBlock(block, size);
}

} // namespace alignopt
