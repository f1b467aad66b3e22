// Allocation of image-sized buffers, large blocks on whole huge pages.
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
// bounds keep what one thread holds between calls small, yet take every
// buffer of a 1024 x 1024 registration: at 64 MiB and 24 blocks one of them
// was faulted in afresh on every call, 1 to 2.5 % of a rigid-body one.
class BlockCache {
public:
    static constexpr std::size_t smallest = std::size_t{64} << 10;
    static constexpr std::size_t capacity = std::size_t{96} << 20;

    BlockCache() = default;
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    ~BlockCache() {
        for (std::size_t k = 0; k < count_; ++k) releaseBlock(blocks_[k].start, blocks_[k].bytes);
    }

    std::size_t held() const noexcept { return held_; }

    // The newest kept block of this size, if any.
    void* take(std::size_t bytes) noexcept {
        for (std::size_t k = count_; k-- > 0;) {
            if (blocks_[k].bytes != bytes) continue;
            void* start = blocks_[k].start;
            held_ -= bytes;
            remove(k);
            return start;
        }
        return nullptr;
    }

    // Keeps a released block, releasing the oldest kept ones if it needs
    // their room: a thread that moves on to other sizes (frames of another
    // size, the levels of a larger image) must not be left holding only
    // blocks it no longer asks for.
    bool keep(void* start, std::size_t bytes) noexcept {
        if (bytes < smallest || bytes > capacity) return false;
        while (count_ == blocks_.size() || held_ + bytes > capacity) {
            releaseBlock(blocks_[0].start, blocks_[0].bytes);
            held_ -= blocks_[0].bytes;
            remove(0);
        }
        blocks_[count_++] = {start, bytes};
        held_ += bytes;
        return true;
    }

private:
    struct Block {
        void* start;
        std::size_t bytes;
    };
    // Oldest first.
    void remove(std::size_t k) noexcept {
        for (; k + 1 < count_; ++k) blocks_[k] = blocks_[k + 1];
        --count_;
    }

    std::array<Block, 48> blocks_{};
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

std::size_t keptImageBytes() noexcept {
    if constexpr (reuseBlocks) return threadCache().held();
    return 0;
}

} // namespace alignopt
