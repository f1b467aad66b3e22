#pragma once

// The nearest pixel of a mapped point, and whether it lies inside.

#include <cmath>
#include <cstdint>
#include <limits>

namespace alignopt {

// Nearest pixel of a real coordinate, halves away from zero: trunc(v + 0.5)
// or trunc(v - 0.5). A coordinate that is not finite or whose rounded value
// does not fit an int32 has no pixel (returns false), so it counts as outside.
inline bool nearestPixel(double v, int32_t& pixel) {
    const double r = v >= 0.0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
    if (!(r >= static_cast<double>(std::numeric_limits<int32_t>::min()) &&
          r <= static_cast<double>(std::numeric_limits<int32_t>::max())))
        return false; // NaN fails both comparisons
    pixel = static_cast<int32_t>(r);
    return true;
}

// Inside means both rounded coordinates lie in [0, size).
inline bool nearestPixelInside(double x, double y, int32_t width, int32_t height, int32_t& px, int32_t& py) {
    return nearestPixel(x, px) && px >= 0 && px < width && nearestPixel(y, py) && py >= 0 && py < height;
}

// nearestPixelInside without forming the pixel, for walks that need no mask
// read: for v >= 0 the pixel trunc(v + 0.5) is below `size` exactly when
// v + 0.5 is, and for v < 0 trunc(v - 0.5) is 0 exactly when v - 0.5 > -1.
// NaN, infinities and values beyond 32 bits fail these comparisons as they
// fail there.
inline bool roundsInside(double v, int32_t size) { return v >= 0.0 ? v + 0.5 < size : v - 0.5 > -1.0; }

inline bool roundsInside(double x, double y, int32_t width, int32_t height) {
    return roundsInside(x, width) && roundsInside(y, height);
}

} // namespace alignopt
