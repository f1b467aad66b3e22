#pragma once

// The warp of an image through a 2 x 1, 2 x 3 or 2 x 4 matrix.

#include <cstdint>
#include <vector>

#include "core/linalg/Matrix.h"

namespace alignopt {

// Resamples a width x height image through a 2x1, 2x3 or 2x4 matrix that maps
// output positions to input positions; 0.0 outside, every value rounded to
// single precision. Throws std::runtime_error("Invalid transformation") for
// any other column count, before any other work.
std::vector<double> warpImage(Matrix matrix, const double* pixels, int32_t width, int32_t height);

// As warpImage, into width * height values at `output` (not overlapping
// `pixels`), which the caller has allocated: the result needs no copy.
void warpImageInto(Matrix matrix, const double* pixels, int32_t width, int32_t height, double* output);

} // namespace alignopt
