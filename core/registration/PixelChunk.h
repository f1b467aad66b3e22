#pragma once

// The chunk of used pixels a walk hands to a kernel.

#include <cstddef>
#include <cstdint>

namespace alignopt {

// The most pixels a chunk holds: a whole row of a 512-pixel image, so that
// such rows reach the sums in one piece (a few per cent faster than half
// rows). The walks keep a chunk's points and values on their stacks.
inline constexpr int32_t chunkCapacity = 512;

// Used pixels of one grid row, in walk order, with the model's value at each
// one's mapped point (and its slopes, when the walk evaluates them): what a
// walk hands to a kernel, a chunk at a time, so that the kernel's pixel loop
// runs over plain arrays.
struct PixelChunk {
    int32_t row = 0;
    int32_t count = 0;
    std::size_t rowStart = 0;             // grid index of the row's column 0
    const int32_t* column = nullptr;      // grid column of each pixel
    const double* columnValue = nullptr;  // the same as doubles, as the terms take them
    const double* x = nullptr; // mapped point
    const double* y = nullptr;
    const double* value = nullptr;
    const double* slopeX = nullptr;
    const double* slopeY = nullptr;
};

} // namespace alignopt
