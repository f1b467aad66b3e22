#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/sampling/PixelRounding.h"

namespace alignopt {
namespace {

// The walks that read no mask decide inside or outside without forming the
// pixel; they must agree with the rounding rule on every double, the halves,
// their neighbours, the ends of 32 bits and the values that are no number.
TEST(PixelRounding, InsideWithoutThePixelAgreesWithTheRoundingRule) {
    const double inf = std::numeric_limits<double>::infinity();
    const double big = 2147483648.0; // 2^31
    for (const int32_t size : {1, 2, 3, 257, std::numeric_limits<int32_t>::max()}) {
        const double s = size;
        const double values[] = {-inf, -1e300, -big - 1.0, -big, -1.5, std::nextafter(-0.5, -1.0), -0.5,
                                 std::nextafter(-0.5, 0.0), -0.0, 0.0, 0.49999999999999994, 0.5,
                                 std::nextafter(s - 0.5, 0.0), s - 0.5, std::nextafter(s - 0.5, s), s - 1.0, s,
                                 big - 0.5, std::nextafter(big - 0.5, 0.0), big, 1e300, inf,
                                 std::numeric_limits<double>::quiet_NaN()};
        for (const double v : values) {
            int32_t pixel = 0;
            const bool rounded = nearestPixel(v, pixel) && pixel >= 0 && pixel < size;
            EXPECT_EQ(roundsInside(v, size), rounded) << "v = " << v << ", size " << size;
        }
    }
}

} // namespace
} // namespace alignopt
