#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/image/SplineImage.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {
namespace {

// An engine whose model is the given coefficient grid, as the warp installs it.
struct Model {
    std::vector<double> coefficients;
    SplineImage image;
    RegistrationEngine engine;

    Model(std::vector<double> c, int32_t width, int32_t height)
        : coefficients(std::move(c)), image(coefficients.data(), width, height, TransformationType::Affine, false),
          engine(image, TransformationType::Affine) {
        engine.modelCoefficients = coefficients;
        engine.modelWidth = width;
        engine.modelHeight = height;
    }

    // The general calling sequence, with the derivative weights.
    void evaluateAt(double x, double y) {
        engine.locatePoint(x, y);
        engine.computeXWeights();
        engine.computeYWeights();
    }
};

std::vector<double> grid(int32_t width, int32_t height, double (*f)(int32_t, int32_t)) {
    std::vector<double> c;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) c.push_back(f(x, y));
    return c;
}

// Half-sample mirror fold written the way the taps are defined: reflect
// negatives, reduce by the period, reflect the upper half.
int32_t referenceFold(int64_t i, int32_t n) {
    const int64_t period = 2 * static_cast<int64_t>(n);
    int64_t m = i >= 0 ? i : -i - 1;
    if (m >= period) m %= period;
    if (m >= n) m = period - 1 - m;
    return static_cast<int32_t>(m);
}

TEST(CubicWeights, KnownFractions) {
    std::array<double, 4> w{};
    cubicWeights(0.0, w);
    EXPECT_EQ(w[0], 0.0);
    EXPECT_DOUBLE_EQ(w[1], 1.0 / 6.0);
    EXPECT_EQ(w[2], 2.0 / 3.0);
    EXPECT_EQ(w[3], 1.0 / 6.0);

    cubicWeights(0.5, w);
    EXPECT_DOUBLE_EQ(w[0], 1.0 / 48.0);
    EXPECT_DOUBLE_EQ(w[1], 23.0 / 48.0);
    EXPECT_DOUBLE_EQ(w[2], 23.0 / 48.0);
    EXPECT_DOUBLE_EQ(w[3], 1.0 / 48.0);

    // The last tap weight is zero at t = 1: the point sits on the next knot.
    cubicWeights(1.0, w);
    EXPECT_EQ(w[3], 0.0);
    EXPECT_DOUBLE_EQ(w[0], 1.0 / 6.0);
    EXPECT_DOUBLE_EQ(w[1], 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(w[2], 1.0 / 6.0);
}

TEST(ComputeWeights, DerivativeWeightsAtAKnot) {
    Model model(std::vector<double>(9, 0.0), 3, 3);
    auto& e = model.engine;
    e.sampleX = 0.0;
    e.sampleY = 0.0;
    e.computeXWeights();
    e.computeYWeights();
    for (const auto* d : {&e.xDerivativeWeights, &e.yDerivativeWeights}) {
        EXPECT_EQ((*d)[0], 0.0);
        EXPECT_EQ((*d)[1], 0.5);
        EXPECT_EQ((*d)[2], 0.0);
        EXPECT_EQ((*d)[3], -0.5);
    }
    for (const auto* w : {&e.xWeights, &e.yWeights}) {
        EXPECT_EQ((*w)[0], 0.0);
        EXPECT_DOUBLE_EQ((*w)[1], 1.0 / 6.0);
        EXPECT_DOUBLE_EQ((*w)[2], 2.0 / 3.0);
        EXPECT_DOUBLE_EQ((*w)[3], 1.0 / 6.0);
    }
}

// Over the whole unit interval: the two weight rules agree to a few units in
// the last place, the derivative weights are the slopes of the weights and
// cancel, and the x and y rules are the same function.
TEST(ComputeWeights, AgreeWithCubicWeightsAndTheirSlopes) {
    Model model(std::vector<double>(9, 0.0), 3, 3);
    auto& e = model.engine;
    const double h = 1e-6;
    for (int i = 0; i <= 1000; ++i) {
        const double t = i / 1000.0;
        std::array<double, 4> plain{};
        cubicWeights(t, plain);
        e.sampleX = t;
        e.sampleY = t;
        e.computeXWeights();
        e.computeYWeights();
        std::array<double, 4> below{};
        std::array<double, 4> above{};
        cubicWeights(t - h, below);
        cubicWeights(t + h, above);
        double derivativeSum = 0.0;
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(e.xWeights[k], plain[k], 4e-16) << "t=" << t << " k=" << k;
            EXPECT_NEAR(e.xDerivativeWeights[k], (above[k] - below[k]) / (2 * h), 1e-8) << "t=" << t << " k=" << k;
            EXPECT_EQ(e.yWeights[k], e.xWeights[k]);
            EXPECT_EQ(e.yDerivativeWeights[k], e.xDerivativeWeights[k]);
            derivativeSum += e.xDerivativeWeights[k];
        }
        EXPECT_NEAR(derivativeSum, 0.0, 1e-15) << "t=" << t;
    }
}

TEST(ComputeIndices, FoldTableForWidthFour) {
    const std::array<std::array<int32_t, 2>, 10> table{
        {{-2, 1}, {-1, 0}, {0, 0}, {3, 3}, {4, 3}, {5, 2}, {8, 0}, {11, 3}, {-9, 0}, {-10, 1}}};
    Model model(std::vector<double>(20, 0.0), 4, 5);
    auto& e = model.engine;
    for (const auto& [tap, column] : table) {
        // A point with base tap - 2 puts the tap first; the half keeps it off
        // the negative integers, whose base is one lower.
        e.sampleX = tap - 2 + 0.5;
        e.computeXIndices();
        EXPECT_EQ(e.xIndices[0], column) << "tap " << tap;
    }
}

// Every tap of every point, for narrow and wider lines, against the plain
// fold: catches a fast path that skips folding where it is needed.
TEST(ComputeIndices, AllTapsFoldIntoTheLine) {
    for (int32_t n : {1, 2, 3, 4, 5, 7}) {
        Model model(std::vector<double>(static_cast<std::size_t>(n) * 3, 0.0), n, 3);
        auto& e = model.engine;
        Model tall(std::vector<double>(static_cast<std::size_t>(n) * 3, 0.0), 3, n);
        auto& t = tall.engine;
        for (double v = -3.0 * n - 0.75; v <= 3.0 * n + 0.75; v += 0.25) {
            e.sampleX = v;
            e.computeXIndices();
            t.sampleY = v;
            t.computeYOffsets();
            const int64_t first = splineBase(v) + 2;
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(e.xIndices[k], referenceFold(first - k, n)) << "n=" << n << " v=" << v << " k=" << k;
                EXPECT_EQ(t.yOffsets[k], referenceFold(first - k, n) * 3) << "n=" << n << " v=" << v << " k=" << k;
            }
        }
    }
}

TEST(ComputeIndices, NegativeFractionReadsMirroredTaps) {
    Model model(std::vector<double>(20, 0.0), 4, 5);
    auto& e = model.engine;
    e.sampleX = -0.3;
    e.sampleY = 1.5;
    e.computeXIndices();
    e.computeYOffsets();
    EXPECT_EQ(e.xIndices, (std::array<int32_t, 4>{1, 0, 0, 1})); // taps 1, 0, -1, -2
    EXPECT_EQ(e.yOffsets, (std::array<int32_t, 4>{12, 8, 4, 0})); // rows 3, 2, 1, 0 times the width
    EXPECT_DOUBLE_EQ(-0.3 - splineBase(-0.3), 0.7);
}

// Linear coefficients reproduce the coordinate and its unit slope, constant
// ones the constant with flat derivatives (mirror taps included); the order of
// the taps matters for the first and not for the second.
TEST(Interpolate, LinearAndConstantModels) {
    Model linear(grid(9, 7, [](int32_t x, int32_t) { return static_cast<double>(x); }), 9, 7);
    for (double x : {1.0, 1.25, 3.5, 4.875, 6.999}) {
        for (double y : {-0.4, 0.0, 2.3, 6.4}) {
            linear.evaluateAt(x, y);
            EXPECT_NEAR(linear.engine.interpolate(), x, 1e-12) << x << "," << y;
            EXPECT_NEAR(linear.engine.interpolateDx(), 1.0, 1e-12) << x << "," << y;
            EXPECT_NEAR(linear.engine.interpolateDy(), 0.0, 1e-12) << x << "," << y;
        }
    }
    Model constant(std::vector<double>(5 * 4, 37.25), 5, 4);
    for (double x : {-0.49, 0.0, 2.5, 4.49}) {
        for (double y : {-0.49, 1.7, 3.49}) {
            constant.evaluateAt(x, y);
            EXPECT_NEAR(constant.engine.interpolate(), 37.25, 1e-13) << x << "," << y;
            EXPECT_NEAR(constant.engine.interpolateDx(), 0.0, 1e-13) << x << "," << y;
            EXPECT_NEAR(constant.engine.interpolateDy(), 0.0, 1e-13) << x << "," << y;
        }
    }
}

// At a knot the spline is the [1 4 1] / 6 average of its coefficients and its
// slope the central difference, along each axis.
TEST(Interpolate, ValueAndSlopesAtAKnot) {
    auto f = [](int32_t x, int32_t y) { return static_cast<double>(x * x * 3 + y * y * y + 2 * x * y); };
    const int32_t w = 6;
    Model model(grid(w, 5, f), w, 5);
    const int32_t x = 2;
    const int32_t y = 3;
    model.evaluateAt(x, y);
    auto c = [&](int32_t i, int32_t j) { return model.coefficients[static_cast<std::size_t>(j * w + i)]; };
    auto row = [&](int32_t j) { return (c(x - 1, j) + 4 * c(x, j) + c(x + 1, j)) / 6; };
    auto slopeX = [&](int32_t j) { return (c(x + 1, j) - c(x - 1, j)) / 2; };
    EXPECT_NEAR(model.engine.interpolate(), (row(y - 1) + 4 * row(y) + row(y + 1)) / 6, 1e-12);
    EXPECT_NEAR(model.engine.interpolateDx(), (slopeX(y - 1) + 4 * slopeX(y) + slopeX(y + 1)) / 6, 1e-12);
    EXPECT_NEAR(model.engine.interpolateDy(), (row(y + 1) - row(y - 1)) / 2, 1e-12);
}

// A negative integer has base one lower and fraction 1; taps and weights move
// together, so the value is that of base v with fraction 0.
TEST(Interpolate, NegativeIntegerCoordinate) {
    Model model(grid(4, 4, [](int32_t x, int32_t y) { return 1.0 + x * x + 0.5 * y; }), 4, 4);
    auto& e = model.engine;
    e.sampleX = -3.0;
    e.sampleY = 1.25;
    e.computeXIndices();
    e.computeYOffsets();
    EXPECT_EQ(e.xIndices, (std::array<int32_t, 4>{1, 2, 3, 3})); // taps -2, -3, -4, -5
    cubicWeights(-3.0 - splineBase(-3.0), e.xWeights);
    cubicWeights(0.25, e.yWeights);
    const double shifted = e.interpolate();

    e.sampleX = -2.5; // base -3
    e.computeXIndices();
    cubicWeights(0.0, e.xWeights);
    EXPECT_NEAR(shifted, e.interpolate(), 1e-13);
}

// One column (or one row) folds every tap onto index 0, so the value does not
// depend on that coordinate and its derivative vanishes.
TEST(Interpolate, SingleColumnOrRowIgnoresThatAxis) {
    Model column(grid(1, 6, [](int32_t, int32_t y) { return 2.0 + y * y; }), 1, 6);
    Model row(grid(6, 1, [](int32_t x, int32_t) { return 2.0 + x * x; }), 6, 1);
    column.evaluateAt(0.0, 2.6);
    row.evaluateAt(2.6, 0.0);
    const double atColumn = column.engine.interpolate();
    const double atRow = row.engine.interpolate();
    for (double v : {-0.49, -0.2, 0.3, 0.49}) {
        column.evaluateAt(v, 2.6);
        row.evaluateAt(2.6, v);
        EXPECT_EQ(column.engine.xIndices, (std::array<int32_t, 4>{0, 0, 0, 0}));
        EXPECT_EQ(row.engine.yOffsets, (std::array<int32_t, 4>{0, 0, 0, 0}));
        EXPECT_NEAR(column.engine.interpolate(), atColumn, 1e-13);
        EXPECT_NEAR(row.engine.interpolate(), atRow, 1e-13);
        EXPECT_NEAR(column.engine.interpolateDx(), 0.0, 1e-13);
        EXPECT_NEAR(row.engine.interpolateDy(), 0.0, 1e-13);
    }
}

} // namespace
} // namespace alignopt
