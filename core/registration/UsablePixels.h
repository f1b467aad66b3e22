#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace alignopt {

// The pixels of one image that can take part in a comparison: those its mask
// keeps (any non-zero value) that hold a number. A NaN pixel is missing data
// and left out like a masked one. Every left-out pixel takes a smooth
// extension of the usable ones around it (fillLeftOutPixels) before any
// filtering, so that nothing non-finite enters a buffer and what it held
// (a NaN, an occluder) does not leak into the comparisons of its neighbours.
struct UsablePixels {
    std::vector<double> filled; // the pixels with the left-out ones replaced; empty when none is
    std::vector<double> mask;   // 1 where usable, 0 elsewhere; empty when every pixel is usable
    int64_t count = 0;          // usable pixels
    bool withinFilterRange = true; // every pixel (after the replacement) within filterSafeMagnitude
};

// `mask` is empty (every pixel kept) or holds one value per pixel. Throws
// OptionError when a mask value is not finite or a pixel is an infinity
// (an infinity is no missing value: it is refused, not left out); with
// `refuseNonFinite`, NonFiniteInputError("Input arrays must be finite") for
// any NaN or infinity. The names are those of the arguments, for the messages.
UsablePixels findUsablePixels(std::span<const double> pixels, std::span<const double> mask, int32_t width,
                              int32_t height, const char* imageName, const char* maskName,
                              bool refuseNonFinite = false);

} // namespace alignopt
