#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "core/linalg/LandmarkTransform.h"
#include "tests/core/registration/test_rigid_bilinear_support.h"

namespace alignopt {
namespace {

using testing::landmarks;
using testing::sampleModel;
using testing::TestEngine;
using testing::TestLevel;

constexpr auto rigid = TransformationType::RigidBody;

// Rigid 2x3 matrix: turn by `angle`, then shift by (tx, ty).
Matrix rigidMatrix(double angle, double tx, double ty) {
    Matrix m(2, 3);
    m(0, 0) = tx;
    m(0, 1) = std::cos(angle);
    m(0, 2) = -std::sin(angle);
    m(1, 0) = ty;
    m(1, 1) = std::sin(angle);
    m(1, 2) = std::cos(angle);
    return m;
}

// Fills the grid (source) of `level` with the model (target) seen through
// `truth`, which maps grid pixels to model positions, and gives it the
// matching gradient: the model slope carried back through the rotation.
void sampleGridThrough(TestLevel& level, const Matrix& truth) {
    TestEngine engine(rigid);
    level.install(*engine);
    for (int32_t j = 0; j < level.gridHeight; ++j)
        for (int32_t k = 0; k < level.gridWidth; ++k) {
            const double x = truth(0, 0) + truth(0, 1) * k + truth(0, 2) * j;
            const double y = truth(1, 0) + truth(1, 1) * k + truth(1, 2) * j;
            const auto s = sampleModel(*engine, x, y);
            const std::size_t i = static_cast<std::size_t>(j) * static_cast<std::size_t>(level.gridWidth) +
                                  static_cast<std::size_t>(k);
            level.gridSamples[i] = s.value;
            level.gridGradientX[i] = s.dx * truth(0, 1) + s.dy * truth(1, 1);
            level.gridGradientY[i] = s.dx * truth(0, 2) + s.dy * truth(1, 2);
        }
}

// The source landmarks that `truth` (source to target) puts onto `target`.
LandmarkSet sourceUnder(const Matrix& truth, const LandmarkSet& target) {
    LandmarkSet source(target.rows, 2);
    for (int32_t l = 0; l < target.rows; ++l) {
        const double dx = target(l, 0) - truth(0, 0);
        const double dy = target(l, 1) - truth(1, 0);
        source(l, 0) = truth(0, 1) * dx + truth(1, 1) * dy;
        source(l, 1) = truth(0, 2) * dx + truth(1, 2) * dy;
    }
    return source;
}

void expectLandmarksNear(const LandmarkSet& actual, const LandmarkSet& expected, double tolerance) {
    ASSERT_EQ(actual.rows, expected.rows);
    for (int32_t l = 0; l < expected.rows; ++l) {
        EXPECT_NEAR(actual(l, 0), expected(l, 0), tolerance) << "landmark " << l;
        EXPECT_NEAR(actual(l, 1), expected(l, 1), tolerance) << "landmark " << l;
    }
}

TEST(RigidBody, IdenticalImagesLeaveTheLandmarksInPlace) {
    TestLevel level(17, 13, 17, 13);
    sampleGridThrough(level, rigidMatrix(0.0, 0.0, 0.0));
    TestEngine engine(rigid);
    level.install(*engine);
    engine->targetLandmarks = landmarks({{8, 6}, {8, 3}, {8, 9}});
    engine->sourceLandmarks = engine->targetLandmarks;

    engine->optimiseRigidBody();

    expectLandmarksNear(engine->sourceLandmarks, engine->targetLandmarks, 1e-12);
}

TEST(RigidBody, RecoversAKnownRotationAndShift) {
    const Matrix truth = rigidMatrix(3.0 * std::numbers::pi / 180.0, 3.4, 1.7);
    TestLevel level(32, 30, 24, 22);
    sampleGridThrough(level, truth);
    TestEngine engine(rigid);
    level.install(*engine);
    engine->levelScale = 4; // a coarse level's pass budget: the diagonal damping converges slowly
    engine->targetLandmarks = landmarks({{15, 14}, {15, 9}, {15, 19}});
    // Start from the plain shift, without the rotation.
    engine->sourceLandmarks = landmarks({{12, 12}, {12, 7}, {12, 17}});

    engine->optimiseRigidBody();

    expectLandmarksNear(engine->sourceLandmarks, sourceUnder(truth, engine->targetLandmarks), 1e-3);
}

// One pixel of a 1x1 grid, mapped by a pure shift onto a constant model:
// whether it counts shows in a finite error.
TEST(RigidBody, NearestPixelDecidesWhetherAPositionCounts) {
    struct Case {
        double x, y;
        bool counts;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {3.5, 1.0, false}, {3.4, 1.0, true},  {-0.5, 1.0, false}, {-0.4, 1.0, true},
        {1.0, 2.5, false}, {1.0, 2.4, true},  {1.0, -0.5, false}, {1.0, -0.4, true},
        {nan, 1.0, false}, {1.0, 3e9, false}, {-3e9, 1.0, false},
    };
    TestLevel level(4, 3, 1, 1, [](double, double) { return 1.0; });
    level.gridGradientX[0] = 1.0;
    TestEngine engine(rigid);
    level.install(*engine);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "x " << c.x << ", y " << c.y);
        const Matrix m = rigidMatrix(0.0, c.x, c.y);
        Matrix hessian(3, 3);
        double gradient[3];
        EXPECT_EQ(std::isnan(engine->rigidBodyError(m)), !c.counts);
        EXPECT_EQ(std::isnan(engine->rigidBodyErrorGradientHessian(m, hessian, gradient)), !c.counts);
        EXPECT_EQ(hessian(1, 1), c.counts ? 1.0 : 0.0);
    }
}

TEST(RigidBody, FirstGridPixelMapsToTheTranslationColumn) {
    TestLevel level(12, 10, 3, 2);
    level.gridSamples[0] = 0.25;
    std::fill(level.gridMask.begin() + 1, level.gridMask.end(), 0.0); // only pixel (0, 0) counts
    TestEngine engine(rigid);
    level.install(*engine);
    const Matrix m = rigidMatrix(0.4, 5.3, 4.6);

    const double v = sampleModel(*engine, 5.3, 4.6).value;
    EXPECT_NEAR(engine->rigidBodyError(m), (0.25 - v) * (0.25 - v), 1e-14);
}

// A single counted pixel (k, j) = (2, 1): the sums are the per-pixel terms, the
// angle derivative k*gy - j*gx comes from the grid's own gradient, and the
// residual is grid minus model.
TEST(RigidBody, GradientAndHessianOfOneCountedPixel) {
    TestLevel level(12, 10, 3, 2);
    const std::size_t pixel = 1 * 3 + 2;
    std::fill(level.gridMask.begin(), level.gridMask.end(), 0.0);
    level.gridMask[pixel] = 1.0;
    level.gridSamples[pixel] = 2.5;
    level.gridGradientX[pixel] = 0.7;
    level.gridGradientY[pixel] = -1.3;
    TestEngine engine(rigid);
    level.install(*engine);
    const Matrix m = rigidMatrix(0.2, 4.1, 3.2);
    const double x = m(0, 0) + m(0, 1) * 2 + m(0, 2) * 1;
    const double y = m(1, 0) + m(1, 1) * 2 + m(1, 2) * 1;
    const double e = 2.5 - sampleModel(*engine, x, y).value;
    const double a = 2 * -1.3 - 1 * 0.7;
    const double d[3] = {a, 0.7, -1.3};

    Matrix hessian(3, 3);
    double gradient[3];
    const double error = engine->rigidBodyErrorGradientHessian(m, hessian, gradient);

    EXPECT_NEAR(error, e * e, 1e-12);
    for (int32_t p = 0; p < 3; ++p) {
        EXPECT_NEAR(gradient[p], d[p] * e, 1e-12) << p;
        for (int32_t q = 0; q < 3; ++q) EXPECT_NEAR(hessian(p, q), d[p] * d[q], 1e-12) << p << "," << q;
    }
}

// Nothing counts, so nothing is accepted: the landmarks end where the first
// step put them, the rigid image of the target landmarks.
TEST(RigidBody, AllZeroModelMaskLeavesTheRigidImageOfTheTargetLandmarks) {
    TestLevel level(14, 12, 14, 12);
    std::fill(level.modelMask.begin(), level.modelMask.end(), 0.0);
    TestEngine engine(rigid);
    level.install(*engine);
    engine->targetLandmarks = landmarks({{6, 5}, {6, 3}, {6, 7}});
    // Not a rigid image of the target: landmark 2 is off the line and too far.
    engine->sourceLandmarks = landmarks({{7.2, 4.9}, {7.0, 2.5}, {7.5, 7.6}});
    const Matrix m = transformationFromLandmarks(rigid, engine->targetLandmarks, engine->sourceLandmarks);
    LandmarkSet expected(3, 2);
    for (int32_t l = 0; l < 3; ++l) {
        const double X = engine->targetLandmarks(l, 0);
        const double Y = engine->targetLandmarks(l, 1);
        expected(l, 0) = m(0, 0) + m(0, 1) * X + m(0, 2) * Y;
        expected(l, 1) = m(1, 0) + m(1, 1) * X + m(1, 2) * Y;
    }
    ASSERT_GT(std::fabs(expected(2, 1) - 7.6), 0.1);

    engine->optimiseRigidBody();

    expectLandmarksNear(engine->sourceLandmarks, expected, 1e-12);
}

// The step size squares the model sides; 46341^2 does not fit 32 bits. A model
// that wide must run the same passes as one a pixel narrower, with the same
// result bit for bit.
TEST(RigidBody, RegressionStepSizeOverflowForModelSide46341) {
    const Matrix truth = rigidMatrix(1.5 * std::numbers::pi / 180.0, 20.3, 1.6);
    auto run = [&](int32_t modelWidth) {
        TestLevel level(modelWidth, 12, 10, 8);
        sampleGridThrough(level, truth);
        TestEngine engine(rigid);
        level.install(*engine);
        engine->levelScale = 8;
        engine->targetLandmarks = landmarks({{25, 6}, {25, 4}, {25, 8}});
        engine->sourceLandmarks = landmarks({{5, 4}, {5, 2}, {5, 6}});
        engine->optimiseRigidBody();
        return engine->sourceLandmarks;
    };

    const LandmarkSet wide = run(46341);
    EXPECT_EQ(wide, run(46340));
    expectLandmarksNear(wide, sourceUnder(truth, landmarks({{25, 6}, {25, 4}, {25, 8}})), 1e-3);
}

} // namespace
} // namespace alignopt
