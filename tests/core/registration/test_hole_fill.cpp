#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/registration/HoleFill.h"

namespace alignopt {
namespace {

TEST(HoleFill, KeptPixelsStayAndHolesTakeTheirSurroundings) {
    const struct {
        int32_t width, height, holeX0, holeY0, holeX1, holeY1;
    } cases[] = {{1, 2, 0, 0, 1, 1}, {7, 5, 2, 1, 5, 4}, {23, 24, 0, 0, 10, 24}, {47, 31, 20, 10, 40, 25}};
    for (const auto& c : cases) {
        const std::size_t n = static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height);
        std::vector<double> ramp(n), mask(n, 1.0);
        for (int32_t y = 0; y < c.height; ++y)
            for (int32_t x = 0; x < c.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(c.width) + x;
                ramp[i] = 3.0 * x - 2.0 * y;
                if (x >= c.holeX0 && x < c.holeX1 && y >= c.holeY0 && y < c.holeY1) mask[i] = 0.0;
            }
        std::vector<double> filled = ramp;
        for (std::size_t i = 0; i < n; ++i)
            if (mask[i] == 0.0) filled[i] = 1e300; // whatever was there must not matter
        fillLeftOutPixels(filled, mask, c.width, c.height);
        double lowest = 1e308, highest = -1e308;
        for (std::size_t i = 0; i < n; ++i)
            if (mask[i] != 0.0) lowest = std::fmin(lowest, ramp[i]), highest = std::fmax(highest, ramp[i]);
        for (int32_t y = 0; y < c.height; ++y)
            for (int32_t x = 0; x < c.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(c.width) + x;
                if (mask[i] != 0.0) {
                    EXPECT_EQ(filled[i], ramp[i]);
                    continue;
                }
                EXPECT_GE(filled[i], lowest);
                EXPECT_LE(filled[i], highest);
                // A hole pixel beside a kept one takes about its neighbours'
                // level, within four pixels of the ramp (3 a column, 2 a row).
                const bool besideKept = (x > 0 && mask[i - 1] != 0.0) || (x + 1 < c.width && mask[i + 1] != 0.0);
                if (besideKept) {
                    EXPECT_NEAR(filled[i], ramp[i], 12.0) << c.width << "x" << c.height << " at " << x << "," << y;
                }
            }
    }
}

TEST(HoleFill, OneKeptPixelFillsEverything) {
    std::vector<double> values(6 * 5, -7.0), mask(6 * 5, 0.0);
    values[13] = 42.0;
    mask[13] = 1.0;
    fillLeftOutPixels(values, mask, 6, 5);
    for (const double v : values) EXPECT_EQ(v, 42.0);
}

} // namespace
} // namespace alignopt
