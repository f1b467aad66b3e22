#pragma once

// The owned buffer every image-sized array of the core lives in.

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace alignopt {

// Storage for image-sized buffers of the core.
//
// Large blocks are placed on whole 2 MiB pages and advised as huge pages. A
// fresh block is otherwise faulted in 4 KiB at a time on its first touch, and
// on virtual machines a fault costs microseconds: filling one 2048 x 2048
// float64 image took about 100 ms that way and 5 ms on huge pages.
void* allocateImageBytes(std::size_t bytes);
void releaseImageBytes(void* block, std::size_t bytes) noexcept;

// Bytes of released blocks the calling thread keeps for its next requests of
// the same sizes (the newest ones, at most 96 MiB); always 0 in sanitizer
// builds, which reuse nothing so that a use after release shows.
std::size_t keptImageBytes() noexcept;

// Elements are default-initialised (left as they come) when a size alone is
// given: every such buffer is written in full by the filter that fills it
// before anything reads it, and a zero fill first would only touch every page
// twice. Give a value (assign(n, 0.0)) where zeros are meant.
template <class T>
struct ImageAllocator {
    using value_type = T;

    ImageAllocator() noexcept = default;
    template <class U>
    ImageAllocator(const ImageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocateImageBytes(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { releaseImageBytes(p, n * sizeof(T)); }

    template <class U>
    void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const ImageAllocator&, const ImageAllocator&) noexcept { return true; }
};

using ImageBuffer = std::vector<double, ImageAllocator<double>>;

} // namespace alignopt
