#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/linalg/Inversion.h"
#include "core/linalg/LandmarkTransform.h"
#include "tests/core/registration/test_rigid_bilinear_support.h"

namespace alignopt {
namespace {

using testing::landmarks;
using testing::sampleModel;
using testing::TestEngine;
using testing::TestLevel;

constexpr auto bilinear = TransformationType::Bilinear;

Matrix bilinearMatrix(std::array<double, 4> row0, std::array<double, 4> row1) {
    Matrix m(2, 4);
    for (int32_t c = 0; c < 4; ++c) {
        m(0, c) = row0[static_cast<std::size_t>(c)];
        m(1, c) = row1[static_cast<std::size_t>(c)];
    }
    return m;
}

double mapX(const Matrix& m, double x, double y) { return m(0, 0) + m(0, 1) * x + m(0, 2) * y + m(0, 3) * x * y; }
double mapY(const Matrix& m, double x, double y) { return m(1, 0) + m(1, 1) * x + m(1, 2) * y + m(1, 3) * x * y; }

// The landmark system: row k is (1, X_k, Y_k, X_k*Y_k).
Matrix landmarkSystem(const LandmarkSet& t) {
    Matrix g(4, 4);
    for (int32_t k = 0; k < 4; ++k) {
        g(k, 0) = 1.0;
        g(k, 1) = t(k, 0);
        g(k, 2) = t(k, 1);
        g(k, 3) = t(k, 0) * t(k, 1);
    }
    return g;
}

double storedInverse(const RegistrationEngine& engine, int32_t r, int32_t l) {
    return engine.bilinearInverse[static_cast<std::size_t>(4 * l + r)];
}

// Fills the grid (target) of `level` with the model (source) seen through
// `truth`, which maps grid pixels to model positions.
void sampleGridThrough(TestLevel& level, const Matrix& truth) {
    TestEngine engine(bilinear);
    level.install(*engine);
    for (int32_t j = 0; j < level.gridHeight; ++j)
        for (int32_t k = 0; k < level.gridWidth; ++k)
            level.gridSamples[static_cast<std::size_t>(j) * static_cast<std::size_t>(level.gridWidth) +
                              static_cast<std::size_t>(k)] = sampleModel(*engine, mapX(truth, k, j), mapY(truth, k, j)).value;
}

const LandmarkSet unitSquare = landmarks({{0, 0}, {0, 1}, {1, 0}, {1, 1}});

TEST(Bilinear, IdenticalImagesLeaveTheLandmarksInPlace) {
    TestLevel level(19, 15, 19, 15);
    sampleGridThrough(level, bilinearMatrix({0, 1, 0, 0}, {0, 0, 1, 0}));
    TestEngine engine(bilinear);
    level.install(*engine);
    engine->targetLandmarks = landmarks({{4, 3}, {4, 11}, {14, 3}, {14, 11}});
    engine->sourceLandmarks = engine->targetLandmarks;

    engine->optimiseBilinear();

    for (int32_t l = 0; l < 4; ++l)
        for (int32_t c = 0; c < 2; ++c)
            EXPECT_NEAR(engine->sourceLandmarks(l, c), engine->targetLandmarks(l, c), 1e-9) << l << "," << c;
}

TEST(Bilinear, RecoversAMildBilinearDistortion) {
    const Matrix truth = bilinearMatrix({1.2, 1.01, 0.02, 0.001}, {0.8, -0.015, 0.99, 0.0008});
    TestLevel level(30, 28, 24, 22);
    sampleGridThrough(level, truth);
    TestEngine engine(bilinear);
    level.install(*engine);
    engine->levelScale = 2; // a coarse level's pass budget
    engine->targetLandmarks = landmarks({{5, 4}, {5, 17}, {18, 4}, {18, 17}});
    engine->sourceLandmarks = engine->targetLandmarks;

    engine->optimiseBilinear();

    for (int32_t l = 0; l < 4; ++l) {
        const double X = engine->targetLandmarks(l, 0);
        const double Y = engine->targetLandmarks(l, 1);
        EXPECT_NEAR(engine->sourceLandmarks(l, 0), mapX(truth, X, Y), 1e-3) << l;
        EXPECT_NEAR(engine->sourceLandmarks(l, 1), mapY(truth, X, Y), 1e-3) << l;
    }
}

// One pixel of a 1x1 grid, shifted onto a constant model: whether it counts
// shows in a finite error.
TEST(Bilinear, NearestPixelDecidesWhetherAPositionCounts) {
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
    TestEngine engine(bilinear);
    level.install(*engine);
    engine->targetLandmarks = unitSquare;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "x " << c.x << ", y " << c.y);
        const Matrix m = bilinearMatrix({c.x, 1, 0, 0}, {c.y, 0, 1, 0});
        Matrix hessian(8, 8);
        double gradient[8];
        EXPECT_EQ(std::isnan(engine->bilinearError(m)), !c.counts);
        EXPECT_EQ(std::isnan(engine->bilinearErrorGradientHessian(m, hessian, gradient)), !c.counts);
    }
}

TEST(Bilinear, InverseOfTheUnitSquareLandmarks) {
    TestEngine engine(bilinear);
    engine->targetLandmarks = unitSquare;
    engine->updateBilinearInverse();
    // Inverse of the rows (1,0,0,0), (1,0,1,0), (1,1,0,0), (1,1,1,1): column l
    // holds the coefficients of 1, k, j, k*j in the weight of landmark l.
    const double expected[4][4] = {{1, 0, 0, 0}, {-1, 0, 1, 0}, {-1, 1, 0, 0}, {1, -1, -1, 1}};
    for (int32_t r = 0; r < 4; ++r)
        for (int32_t l = 0; l < 4; ++l) EXPECT_EQ(storedInverse(*engine, r, l), expected[r][l]) << r << "," << l;
}

// The closed form against a general inversion, and G * G^-1 = I, on random
// landmark quadrilaterals.
TEST(Bilinear, ClosedFormInverseMatchesTheLandmarkSystem) {
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> coordinate(-40.0, 40.0);
    std::uniform_real_distribution<double> jitter(-3.0, 3.0);
    for (int trial = 0; trial < 200; ++trial) {
        LandmarkSet t(4, 2);
        if (trial % 2 == 0) {
            for (double& v : t.values) v = coordinate(random);
        } else { // near-rectangles, as the optimiser sees them
            const double x0 = coordinate(random), y0 = coordinate(random);
            const double w = 5.0 + std::fabs(coordinate(random)), h = 5.0 + std::fabs(coordinate(random));
            t = landmarks({{x0, y0}, {x0, y0 + h}, {x0 + w, y0}, {x0 + w, y0 + h}});
            for (double& v : t.values) v += jitter(random);
        }
        TestEngine engine(bilinear);
        engine->targetLandmarks = t;
        engine->updateBilinearInverse();
        const Matrix g = landmarkSystem(t);
        Matrix reference = g;
        invertMatrix(reference);

        double scale = 0.0;
        for (double v : reference.values) scale = std::max(scale, std::fabs(v));
        for (int32_t r = 0; r < 4; ++r)
            for (int32_t c = 0; c < 4; ++c) {
                SCOPED_TRACE(::testing::Message() << "trial " << trial << " entry (" << r << "," << c << ")");
                EXPECT_NEAR(storedInverse(*engine, r, c), reference(r, c), 1e-9 * scale);
                double product = 0.0;
                for (int32_t q = 0; q < 4; ++q) product += g(r, q) * storedInverse(*engine, q, c);
                EXPECT_NEAR(product, r == c ? 1.0 : 0.0, 1e-9);
            }
    }
}

// The weight c_l of landmark l at a counted grid pixel shows in the gradient:
// with the model rising by one per column (slope 1 along x, 0 along y) and a
// zero grid, g(2l) = c_l * v_x * r and g(2l + 1) = c_l * v_y * r.
TEST(Bilinear, LandmarkWeightsAtACountedPixel) {
    struct Case {
        LandmarkSet target;
        int32_t k, j;
        std::array<double, 4> weights;
    };
    const LandmarkSet quad = landmarks({{0.3, -0.2}, {-0.4, 2.9}, {3.1, 0.4}, {2.6, 3.3}});
    Matrix quadInverse = landmarkSystem(quad);
    invertMatrix(quadInverse);
    auto unitWeights = [](double k, double j) {
        return std::array<double, 4>{(1 - k) * (1 - j), (1 - k) * j, k * (1 - j), k * j};
    };
    const Case cases[] = {
        {unitSquare, 0, 0, unitWeights(0, 0)},
        {unitSquare, 2, 1, unitWeights(2, 1)},
        {unitSquare, 1, 3, unitWeights(1, 3)},
        {unitSquare, 3, 2, unitWeights(3, 2)},
        // At the grid origin only the first row of the inverse takes part.
        {quad, 0, 0, {quadInverse(0, 0), quadInverse(0, 1), quadInverse(0, 2), quadInverse(0, 3)}},
    };
    TestLevel level(10, 10, 6, 6, [](double x, double) { return x; });
    const Matrix shift = bilinearMatrix({2, 1, 0, 0}, {2, 0, 1, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "pixel (" << c.k << "," << c.j << ")");
        std::fill(level.gridMask.begin(), level.gridMask.end(), 0.0);
        level.gridMask[static_cast<std::size_t>(c.j * 6 + c.k)] = 1.0;
        TestEngine engine(bilinear);
        level.install(*engine);
        engine->targetLandmarks = c.target;
        const auto s = sampleModel(*engine, c.k + 2.0, c.j + 2.0);
        ASSERT_NEAR(s.dx, 1.0, 1e-12);

        Matrix hessian(8, 8);
        double gradient[8];
        engine->bilinearErrorGradientHessian(shift, hessian, gradient);

        for (int32_t l = 0; l < 4; ++l) {
            const double w = c.weights[static_cast<std::size_t>(l)];
            EXPECT_NEAR(gradient[2 * l], w * s.dx * s.value, 1e-12 * (1 + std::fabs(w * s.value))) << l;
            EXPECT_NEAR(gradient[2 * l + 1], w * s.dy * s.value, 1e-12 * (1 + std::fabs(w * s.value))) << l;
            EXPECT_NEAR(hessian(2 * l, 2 * l), w * w * s.dx * s.dx, 1e-12 * (1 + w * w)) << l;
        }
    }
}

// Nothing counts: no trial is accepted and the landmarks stay put.
TEST(Bilinear, AllZeroModelMaskLeavesTheLandmarksUnchanged) {
    TestLevel level(14, 12, 14, 12);
    std::fill(level.modelMask.begin(), level.modelMask.end(), 0.0);
    TestEngine engine(bilinear);
    level.install(*engine);
    engine->targetLandmarks = landmarks({{3, 3}, {3, 9}, {10, 3}, {10, 9}});
    engine->sourceLandmarks = landmarks({{3.5, 2.5}, {3.2, 9.4}, {10.1, 3.3}, {9.6, 8.8}});
    const LandmarkSet before = engine->sourceLandmarks;

    engine->optimiseBilinear();

    EXPECT_EQ(engine->sourceLandmarks, before);
}

} // namespace
} // namespace alignopt
