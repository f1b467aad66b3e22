#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/sampling/PointEvaluation.h"
#include "tests/core/registration/test_rigid_bilinear_support.h"

namespace alignopt {
namespace {

using testing::TestEngine;
using testing::TestLevel;

// The kernels' inlined evaluation must give the bits of the engine's own
// operations, on every model size and wherever a counted pixel can land:
// inside, on the mirrored margins and at negative integers.
TEST(PointEvaluation, MatchesTheEngineOperationsBitForBit) {
    const int32_t sizes[][2] = {{1, 1}, {1, 5}, {2, 3}, {3, 2}, {23, 24}, {47, 5}};
    std::mt19937 random(7);
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height);
        TestLevel level(width, height, 1, 1);
        TestEngine engine(TransformationType::Bilinear);
        level.install(*engine);
        std::uniform_real_distribution<double> xs(-0.5, width - 0.5);
        std::uniform_real_distribution<double> ys(-0.5, height - 0.5);
        for (int n = 0; n < 400; ++n) {
            double x = xs(random);
            double y = ys(random);
            if (n % 10 == 0) x = std::round(x); // integers, -0 and the margins' halves included
            if (n % 15 == 0) y = -0.0;

            RegistrationEngine& e = *engine;
            e.locatePoint(x, y);
            cubicWeights(e.sampleX, e.xWeights);
            cubicWeights(e.sampleY, e.yWeights);
            const double value = e.interpolate();
            e.computeXWeights();
            e.computeYWeights();
            const double v = e.interpolate();
            const double vx = e.interpolateDx();
            const double vy = e.interpolateDy();

            const auto slopes = pointEvaluation::valueAndSlopes(e.modelCoefficients.data(), e.modelWidth, e.modelHeight, x, y);
            EXPECT_EQ(pointEvaluation::value(e.modelCoefficients.data(), e.modelWidth, e.modelHeight, x, y), value) << x << ", " << y;
            EXPECT_EQ(slopes.value, v) << x << ", " << y;
            EXPECT_EQ(slopes.dx, vx) << x << ", " << y;
            EXPECT_EQ(slopes.dy, vy) << x << ", " << y;
        }
    }
}

} // namespace
} // namespace alignopt
