#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/registration/RowPoints.h"

namespace alignopt {
namespace {

// Every path makes each row's points the way a walk along the row does:
// start, then one addition of the step per column, whatever the values.
TEST(RowPoints, EveryPathAddsTheStepsOfAWalkAlongTheRow) {
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> value(-600.0, 600.0);
    std::uniform_int_distribution<int> special(0, 12);
    const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                               1e-300, 3.0e17};
    const auto draw = [&] {
        const int s = special(random);
        return s < 7 ? specials[s] : value(random);
    };
    std::vector<BatchLevel> levels{BatchLevel::Scalar};
    if (supportedBatchLevel() == BatchLevel::Avx512) levels.push_back(BatchLevel::Avx512);
    for (const std::size_t width : {1, 7, 8, 9, 23, 64}) {
        double startX[rowsTogether], startY[rowsTogether], stepX[rowsTogether], stepY[rowsTogether];
        for (int r = 0; r < rowsTogether; ++r) {
            startX[r] = draw();
            startY[r] = draw();
            stepX[r] = draw();
            stepY[r] = draw();
        }
        const std::size_t pitch = width + 3;
        std::vector<double> expected(2 * rowsTogether * pitch, 0.0);
        for (int r = 0; r < rowsTogether; ++r) {
            double x = startX[r], y = startY[r];
            for (std::size_t k = 0; k < width; ++k, x += stepX[r], y += stepY[r]) {
                expected[2 * r * pitch + k] = x;
                expected[(2 * r + 1) * pitch + k] = y;
            }
        }
        for (const BatchLevel level : levels) {
            std::vector<double> points(expected.size(), 0.0);
            fillRowPointsAt(level, points.data(), pitch, width, startX, startY, stepX, stepY);
            EXPECT_EQ(std::memcmp(points.data(), expected.data(), points.size() * sizeof(double)), 0)
                << "width " << width << ", level " << static_cast<int>(level);
        }
    }
}

} // namespace
} // namespace alignopt
