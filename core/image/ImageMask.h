#pragma once

// The mask of the pixels that take part, at every resolution level.

#include <cstdint>
#include <deque>
#include <vector>

namespace alignopt {

// Which pixels take part in the comparison, at full resolution and at every
// coarser level; a coarse pixel is inside as soon as any finer pixel under it is.
struct ImageMask {
    std::deque<std::vector<double>> levels; // level 1 at the front, coarsest at the back
    std::vector<double> data;
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 1;
    // Known non-zero everywhere, at every level: it then holds no values at
    // all (data and levels stay empty), and the walks skip its reads, which
    // would all pass. A registration without a mask of its own uses this.
    bool allNonZero = false;

    // A mask of width x height, every value `fill`, no levels yet.
    ImageMask(int32_t width, int32_t height, int32_t depth, double fill);

    // A mask that lets every pixel through, without storing a value.
    static ImageMask everywhere(int32_t width, int32_t height, int32_t depth);

    void buildMaskPyramid();
};

// Output is floor(width/2) x floor(height/2), overwritten.
void reduceMask(const double* input, double* output, int32_t width, int32_t height);

} // namespace alignopt
