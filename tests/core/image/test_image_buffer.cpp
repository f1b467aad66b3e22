#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "core/image/ImageBuffer.h"

namespace alignopt {
namespace {

TEST(ImageBuffer, LargeBlocksSitOnWholeHugePagesAndSmallOnesAnywhere) {
    const std::size_t hugePage = std::size_t{2} << 20;
    for (const std::size_t n : {std::size_t{1}, std::size_t{1000}, std::size_t{512} * 1024, std::size_t{2048} * 2049}) {
        SCOPED_TRACE(n);
        ImageBuffer buffer(n);
        ASSERT_EQ(buffer.size(), n);
        if (n * sizeof(double) >= 2 * hugePage) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % hugePage, 0u);
        }
        // Every element is usable, first to last (the sanitizer build checks the bounds).
        for (std::size_t i = 0; i < n; i += 4093) buffer[i] = static_cast<double>(i);
        buffer.back() = -1.0;
        EXPECT_EQ(buffer.front(), n == 1 ? -1.0 : 0.0);
    }
}

TEST(ImageBuffer, AGivenValueStillFillsEveryElement) {
    ImageBuffer buffer(std::size_t{1} << 20, 7.5);
    for (double v : buffer) ASSERT_EQ(v, 7.5);
    buffer.assign(buffer.size(), 0.0);
    for (double v : buffer) ASSERT_EQ(v, 0.0);
}

TEST(ImageBuffer, ImpossibleSizesAreRefusedAsAllocationFailures) {
    ImageAllocator<double> allocator;
    EXPECT_THROW(static_cast<void>(allocator.allocate(std::numeric_limits<std::size_t>::max() / 4)), std::bad_alloc);
    EXPECT_THROW(static_cast<void>(allocator.allocate(std::numeric_limits<std::size_t>::max() / 8 - 1)),
                 std::bad_alloc);
}

// A thread keeps the blocks it released last. Once it has filled its store
// with blocks of sizes it no longer asks for, a newly released block must
// still be kept, in place of the oldest.
TEST(ImageBuffer, ThreadsKeepTheirNewestReleasedBlocks) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer builds reuse no block";
#endif
    std::thread([] {
        ImageAllocator<double> allocator;
        const std::size_t small = (std::size_t{64} << 10) / sizeof(double);
        std::vector<double*> old;
        for (std::size_t k = 0; k < 60; ++k) old.push_back(allocator.allocate(small + 512 * k));
        for (std::size_t k = 0; k < old.size(); ++k) allocator.deallocate(old[k], small + 512 * k);
        const std::size_t before = keptImageBytes();
        EXPECT_GT(before, 0u);

        const std::size_t large = (std::size_t{4} << 20) / sizeof(double);
        allocator.deallocate(allocator.allocate(large), large);
        const std::size_t withLarge = keptImageBytes();
        EXPECT_GE(withLarge, std::size_t{4} << 20);
        double* again = allocator.allocate(large); // the kept block, taken back
        EXPECT_EQ(keptImageBytes(), withLarge - (std::size_t{4} << 20));
        allocator.deallocate(again, large);
    }).join();
}

} // namespace
} // namespace alignopt
