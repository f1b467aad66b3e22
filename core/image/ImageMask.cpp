// The mask record: its pyramid of coarser levels and the mask known non-zero
// everywhere.
#include "core/image/ImageMask.h"

#include <cassert>
#include <cmath>
#include <cstddef>

namespace alignopt {

ImageMask::ImageMask(int32_t width, int32_t height, int32_t depth, double fill)
    : data(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), fill), width(width),
      height(height), depth(depth) {}

ImageMask ImageMask::everywhere(int32_t width, int32_t height, int32_t depth) {
    ImageMask mask(0, 0, depth, 1.0);
    mask.width = width;
    mask.height = height;
    mask.allNonZero = true;
    return mask;
}

void ImageMask::buildMaskPyramid() {
    if (allNonZero) return; // every coarse pixel would be non-zero too
    int32_t w = width;
    int32_t h = height;
    const std::vector<double>* previous = &data;
    for (int32_t k = 1; k < depth; ++k) {
        std::vector<double> level(static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h / 2));
        reduceMask(previous->data(), level.data(), w, h);
        levels.push_back(std::move(level));
        previous = &levels.back(); // deque keeps earlier elements in place on push_back
        w /= 2;
        h /= 2;
    }
}

// A coarse pixel sums the magnitudes under its 3 x 3 window (rows and columns
// 2y-1 ... 2y+1), so it is non-zero exactly when some finer pixel is. The
// window is cut at the low edges rather than mirrored, and never reaches the
// last row or column of an odd size.
void reduceMask(const double* input, double* output, int32_t width, int32_t height) {
    assert(width >= 0 && height >= 0);
    const int32_t halfWidth = width / 2;
    const int32_t halfHeight = height / 2;
    for (int32_t y = 0; y < halfHeight; ++y) {
        const int32_t firstRow = y > 0 ? 2 * y - 1 : 0;
        for (int32_t x = 0; x < halfWidth; ++x) {
            const int32_t firstColumn = x > 0 ? 2 * x - 1 : 0;
            double s = 0.0;
            for (int32_t r = firstRow; r <= 2 * y + 1; ++r) {
                const double* row = input + static_cast<std::ptrdiff_t>(r) * width;
                for (int32_t c = firstColumn; c <= 2 * x + 1; ++c) s = std::fabs(row[c]) + s;
            }
            output[static_cast<std::ptrdiff_t>(y) * halfWidth + x] = s;
        }
    }
}

} // namespace alignopt
