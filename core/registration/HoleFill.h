#pragma once

#include <cstdint>
#include <span>

namespace alignopt {

// Replaces the values of the pixels whose mask is 0 by a smooth extension
// of the others (`mask` holds 0 and 1, at least one 1): each level of a
// halving pyramid holds the weighted mean of the kept pixels under it, and
// a left-out pixel takes the bilinear estimate of the next coarser level,
// which near a hole's border is the mean of the kept pixels beside it. A hole
// thus leaves no step for the spline prefilter to spread into the pixels
// that are compared. Every value stays within the kept pixels' range.
void fillLeftOutPixels(std::span<double> values, std::span<const double> mask, int32_t width, int32_t height);

} // namespace alignopt
