#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/registration/RowPoints.h"
#include "core/sampling/PixelRounding.h"
#include "tests/core/RunnableLevels.h"

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
    const std::vector<ProcessorLevel> levels = testing::runnableLevels();
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
        for (const ProcessorLevel level : levels) {
            std::vector<double> points(expected.size(), 0.0);
            fillRowPointsAt(level, points.data(), pitch, width, startX, startY, stepX, stepY);
            EXPECT_EQ(std::memcmp(points.data(), expected.data(), points.size() * sizeof(double)), 0)
                << "width " << width << ", level " << static_cast<int>(level);
        }
    }
}

// Every path finds the run a column-by-column scan finds: the first point
// that rounds inside and one past the last, on rows that enter and leave the
// model anywhere (at the rounding edges -0.5 and size - 0.5 included), miss
// it, or go infinite or NaN part of the way.
TEST(RowPoints, EveryPathFindsTheRunOfPointsInside) {
    constexpr int32_t modelWidth = 9;
    constexpr int32_t modelHeight = 6;
    const auto scan = [&](const std::vector<double>& px, const std::vector<double>& py, int32_t width) {
        const auto inside = [&](int32_t k) { return roundsInside(px[k], py[k], modelWidth, modelHeight); };
        int32_t begin = 0;
        while (begin < width && !inside(begin)) ++begin;
        int32_t end = width;
        while (end > begin && !inside(end - 1)) --end;
        return InsideRun{begin, end};
    };
    std::mt19937_64 random(5);
    const double edges[] = {-0.5, std::nextafter(-0.5, 0.0), modelWidth - 0.5, std::nextafter(modelWidth - 0.5, 0.0),
                            modelHeight - 0.5, -0.0, std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
    const std::vector<ProcessorLevel> levels = testing::runnableLevels();
    for (int32_t width = 0; width <= 40; ++width)
        for (int trial = 0; trial < 40; ++trial) {
            // A walk along the row: monotone coordinates from a start and a step,
            // with now and then a value from the edges in the middle.
            std::uniform_real_distribution<double> start(-6.0, 12.0), step(-0.8, 0.8);
            double x = start(random), y = start(random);
            const double sx = step(random), sy = step(random) / 4;
            std::vector<double> px(static_cast<std::size_t>(width)), py(static_cast<std::size_t>(width));
            for (int32_t k = 0; k < width; ++k, x += sx, y += sy) {
                px[k] = x;
                py[k] = y;
            }
            if (width > 0 && trial % 4 == 0) {
                std::uniform_int_distribution<int32_t> at(0, width - 1);
                std::uniform_int_distribution<int> edge(0, 7);
                (trial % 8 ? px : py)[static_cast<std::size_t>(at(random))] = edges[edge(random)];
            }
            const InsideRun expected = scan(px, py, width);
            for (const ProcessorLevel level : levels) {
                const InsideRun run = insideRunAt(level, px.data(), py.data(), width, modelWidth, modelHeight);
                EXPECT_EQ(run.begin, expected.begin) << "width " << width << ", trial " << trial;
                EXPECT_EQ(run.end, expected.end) << "width " << width << ", trial " << trial;
            }
        }
}

} // namespace
} // namespace alignopt
