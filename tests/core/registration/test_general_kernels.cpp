#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "core/image/SplineImage.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/PixelRounding.h"

namespace alignopt {
namespace {

LandmarkSet landmarks(std::vector<double> xy) {
    LandmarkSet set(static_cast<int32_t>(xy.size() / 2), 2);
    set.values = std::move(xy);
    return set;
}

Matrix translation(double tx, double ty) {
    Matrix m(2, 1);
    m.values = {tx, ty};
    return m;
}

Matrix identity2x3() {
    Matrix m(2, 3);
    m.values = {0, 1, 0, 0, 0, 1};
    return m;
}

// An engine with hand-installed level arrays: a model of coefficients and a
// grid of samples, gradients and masks, each of its own size.
struct KernelBench {
    SplineImage image;
    RegistrationEngine engine;
    std::vector<double> model, modelMask, grid, gradientX, gradientY, gridMask;

    KernelBench(int32_t modelWidth, int32_t modelHeight, int32_t gridWidth, int32_t gridHeight,
                TransformationType type)
        : image(std::vector<double>(1, 0.0).data(), 1, 1, type, false), engine(image, type),
          model(static_cast<std::size_t>(modelWidth) * modelHeight, 0.0), modelMask(model.size(), 1.0),
          grid(static_cast<std::size_t>(gridWidth) * gridHeight, 0.0), gradientX(grid.size(), 0.0),
          gradientY(grid.size(), 0.0), gridMask(grid.size(), 1.0) {
        engine.modelWidth = modelWidth;
        engine.modelHeight = modelHeight;
        engine.gridWidth = gridWidth;
        engine.gridHeight = gridHeight;
        engine.landmarkNormaliser = 1.0;
        install();
    }
    void install() {
        engine.modelCoefficients = model;
        engine.modelMask = modelMask;
        engine.gridSamples = grid;
        engine.gridGradientX = gradientX;
        engine.gridGradientY = gradientY;
        engine.gridMask = gridMask;
    }
    // Smooth, non-symmetric coefficients so that a tap a pixel off shows.
    void fillModel() {
        for (int32_t j = 0; j < engine.modelHeight; ++j)
            for (int32_t i = 0; i < engine.modelWidth; ++i)
                model[static_cast<std::size_t>(j * engine.modelWidth + i)] =
                    std::sin(0.7 * i + 0.2) * 3 + std::cos(0.45 * j) * 2 + 0.01 * i * j;
    }
    // Model value and slopes at a point, by the general evaluation sequence.
    double modelAt(double x, double y, double* dx = nullptr, double* dy = nullptr) {
        engine.locatePoint(x, y);
        engine.computeXWeights();
        engine.computeYWeights();
        if (dx) *dx = engine.interpolateDx();
        if (dy) *dy = engine.interpolateDy();
        cubicWeights(engine.sampleX, engine.xWeights);
        cubicWeights(engine.sampleY, engine.yWeights);
        return engine.interpolate();
    }
    // Grid samples = the model at (k + shiftX, j + shiftY), gradients its slopes.
    void sampleModel(double shiftX = 0, double shiftY = 0) {
        for (int32_t j = 0; j < engine.gridHeight; ++j)
            for (int32_t k = 0; k < engine.gridWidth; ++k) {
                const auto i = static_cast<std::size_t>(j * engine.gridWidth + k);
                grid[i] = modelAt(k + shiftX, j + shiftY, &gradientX[i], &gradientY[i]);
            }
    }
    std::size_t n() const { return static_cast<std::size_t>(parameterCount(engine.transformation)); }
    // Runs the family's error-and-derivatives kernel with H and g prefilled
    // with garbage, so that a missing reset shows.
    double withDerivatives(const LandmarkSet& l, const Matrix& m, Matrix& h, std::vector<double>& g) {
        h = Matrix(static_cast<int32_t>(n()), static_cast<int32_t>(n()));
        for (double& v : h.values) v = 7.0;
        g.assign(n(), 7.0);
        switch (engine.transformation) {
        case TransformationType::Translation: return engine.translationErrorGradientHessian(m, h, g);
        case TransformationType::ScaledRotation: return engine.scaledRotationErrorGradientHessian(l, m, h, g);
        default: return engine.affineErrorGradientHessian(l, m, h, g);
        }
    }
    double errorOnly(const LandmarkSet& l, const Matrix& m) {
        switch (engine.transformation) {
        case TransformationType::Translation: return engine.translationError(m);
        case TransformationType::ScaledRotation: return engine.scaledRotationError(l, m);
        default: return engine.affineError(l, m);
        }
    }
};

struct FamilyCase {
    TransformationType type;
    std::vector<double> target;
};
const FamilyCase families[] = {{TransformationType::Translation, {6, 4}},
                               {TransformationType::ScaledRotation, {3, 4, 8, 4}},
                               {TransformationType::Affine, {6, 2, 3, 6, 9, 6}}};

TEST(GeneralKernels, IdenticalImagesGiveZeroResidual) {
    for (const auto& f : families) {
        SCOPED_TRACE(static_cast<int>(f.type));
        KernelBench b(12, 9, 12, 9, f.type);
        b.fillModel();
        b.sampleModel();
        const LandmarkSet t = landmarks(f.target);
        b.engine.landmarkNormaliser = f.type == TransformationType::ScaledRotation ? 25.0 : 24.0;
        const Matrix m = transformationFromLandmarks(f.type, t, t);
        Matrix h;
        std::vector<double> g;
        EXPECT_NEAR(b.withDerivatives(t, m, h, g), 0.0, 1e-24);
        for (double v : g) EXPECT_NEAR(v, 0.0, 1e-10);
        EXPECT_NEAR(b.errorOnly(t, m), 0.0, 1e-24);
    }
}

TEST(GeneralKernels, NothingInsideGivesNaNAndZeroDerivatives) {
    const struct {
        TransformationType type;
        Matrix m;
    } cases[] = {
        {TransformationType::Translation, translation(-0.5 - 9, 0)}, // every x <= -0.5
        {TransformationType::Translation, translation(10 - 0.5, 0)}, // every x >= width - 0.5
        {TransformationType::Translation, translation(0, 1e300)},
        {TransformationType::Translation, translation(-1e300, std::numeric_limits<double>::infinity())},
        {TransformationType::Affine, [] {
             Matrix m = identity2x3();
             m(1, 0) = -20;
             return m;
         }()},
        {TransformationType::Affine, [] {
             Matrix m = identity2x3();
             m(0, 0) = std::numeric_limits<double>::quiet_NaN();
             return m;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.m.values[0] << " " << c.m.values[1]);
        KernelBench b(10, 10, 10, 10, c.type);
        b.fillModel();
        b.sampleModel();
        const LandmarkSet l = landmarks({6, 2, 3, 6, 9, 6});
        Matrix h;
        std::vector<double> g;
        EXPECT_TRUE(std::isnan(b.withDerivatives(l, c.m, h, g)));
        for (double v : h.values) EXPECT_EQ(v, 0.0);
        for (double v : g) EXPECT_EQ(v, 0.0);
        EXPECT_TRUE(std::isnan(b.errorOnly(l, c.m)));
    }
}

// A single grid column mapped to x = -0.4 is used and reads the mirrored
// coefficients (columns 1, 0, 0, 1); at x = -0.5 it rounds to -1 and is not.
TEST(GeneralKernels, MinusPointFourIsUsedAndMinusPointFiveIsNot) {
    KernelBench b(4, 1, 1, 1, TransformationType::Translation);
    b.model = {5.0, -3.0, 2.0, 7.0};
    b.install();
    std::array<double, 4> w;
    cubicWeights(0.6, w);
    const double mirrored = ((-3.0 * w[0] + 5.0 * w[1]) + 5.0 * w[2]) + -3.0 * w[3];
    b.grid[0] = mirrored + 1.0; // residual 1 where the taps are mirrored as expected
    EXPECT_NEAR(b.engine.translationError(translation(-0.4, 0)), 1.0, 1e-12);
    EXPECT_TRUE(std::isnan(b.engine.translationError(translation(-0.5, 0))));

    KernelBench a(4, 1, 1, 1, TransformationType::Affine);
    const LandmarkSet l = landmarks({0, 0, 1, 0, 0, 1});
    a.engine.landmarkNormaliser = 1.0;
    Matrix m = identity2x3();
    m(0, 0) = -0.4;
    EXPECT_FALSE(std::isnan(a.engine.affineError(l, m)));
    m(0, 0) = -0.5;
    EXPECT_TRUE(std::isnan(a.engine.affineError(l, m)));
}

// Regression: with tx just below 1, tx + 1 rounds to exactly 2, and taps taken
// from the accumulated coordinate sat a whole pixel beyond the weights.
TEST(GeneralKernels, TranslationFractionWithinRoundingOfOneIsNotAPixelOff) {
    KernelBench b(16, 12, 12, 10, TransformationType::Translation);
    b.fillModel();
    b.sampleModel(1.0, 1.0);
    const double justBelowOne = std::nextafter(1.0, 0.0);
    Matrix h;
    std::vector<double> g;
    EXPECT_NEAR(b.withDerivatives({}, translation(1.0, 1.0), h, g), 0.0, 1e-24);
    for (const Matrix& m : {translation(justBelowOne, justBelowOne), translation(justBelowOne, 1.0),
                            translation(1.0, justBelowOne)}) {
        EXPECT_NEAR(b.engine.translationError(m), 0.0, 1e-24);
        EXPECT_NEAR(b.withDerivatives({}, m, h, g), 0.0, 1e-24);
    }
}

// A zero model against a grid of 2s: every residual is exactly 2, so the
// error is 4 divided by the area scale of the candidate against the target.
TEST(GeneralKernels, ScaledRotationErrorIsDividedByTheSquaredSpan) {
    KernelBench b(8, 8, 8, 8, TransformationType::ScaledRotation);
    std::fill(b.grid.begin(), b.grid.end(), 2.0);
    b.engine.landmarkNormaliser = 100.0; // target landmarks 10 apart
    const LandmarkSet twiceAsFar = landmarks({10, 20, 30, 20});
    Matrix h;
    std::vector<double> g;
    EXPECT_EQ(b.engine.scaledRotationError(twiceAsFar, identity2x3()), 1.0);
    EXPECT_EQ(b.withDerivatives(twiceAsFar, identity2x3(), h, g), 1.0);
}

TEST(GeneralKernels, AffineDivisorIgnoresOrientationAndNormaliserSign) {
    KernelBench b(8, 8, 8, 8, TransformationType::Affine);
    std::fill(b.grid.begin(), b.grid.end(), 2.0);
    const LandmarkSet clockwise = landmarks({0, 0, 4, 0, 0, 2});
    const LandmarkSet anticlockwise = landmarks({0, 0, 0, 2, 4, 0});
    for (const LandmarkSet* l : {&clockwise, &anticlockwise})
        for (double normaliser : {16.0, -16.0}) {
            b.engine.landmarkNormaliser = normaliser;
            Matrix h;
            std::vector<double> g;
            // |o / normaliser| = 8 / 16: the candidate triangle has half the target's area.
            EXPECT_EQ(b.engine.affineError(*l, identity2x3()), 8.0);
            EXPECT_EQ(b.withDerivatives(*l, identity2x3(), h, g), 8.0);
        }
}

TEST(GeneralKernels, HessianIsExactlySymmetric) {
    const std::vector<double> candidates[] = {{6.3, 4.1}, {3.2, 4.4, 8.1, 3.7}, {6.2, 2.1, 3.3, 6.2, 8.8, 5.9}};
    for (int f = 0; f < 3; ++f) {
        KernelBench b(12, 9, 12, 9, families[f].type);
        b.fillModel();
        b.sampleModel(0.3, -0.2);
        b.engine.landmarkNormaliser = 21.5;
        const LandmarkSet l = landmarks(candidates[f]);
        const Matrix m = transformationFromLandmarks(families[f].type, l, landmarks(families[f].target));
        Matrix h;
        std::vector<double> g;
        b.withDerivatives(l, m, h, g);
        for (int32_t a = 0; a < h.rows; ++a)
            for (int32_t c = 0; c < a; ++c) EXPECT_EQ(h(a, c), h(c, a)) << f << ": " << a << "," << c;
        if (f == 0) {
            // Translation: the plain sums of the gradient products over the
            // used pixels (here all of them), in pixel order.
            double xx = 0, xy = 0, yy = 0;
            for (std::size_t i = 0; i < b.grid.size(); ++i) {
                xx = xx + b.gradientX[i] * b.gradientX[i];
                xy = xy + b.gradientX[i] * b.gradientY[i];
                yy = yy + b.gradientY[i] * b.gradientY[i];
            }
            EXPECT_EQ(h.values, (std::vector<double>{xx, xy, xy, yy}));
        }
    }
}

// With the gradient non-zero at one pixel only, g / r is that pixel's
// derivative vector: the barycentric weights scaled by (gx, gy).
TEST(GeneralKernels, AffineWeightsAreBarycentric) {
    KernelBench b(8, 8, 8, 8, TransformationType::Affine);
    std::fill(b.grid.begin(), b.grid.end(), 2.0); // residual 2 everywhere
    const LandmarkSet l = landmarks({2, 1, 1, 6, 7, 5});
    for (int32_t p = 0; p < 64; ++p) {
        std::fill(b.gradientX.begin(), b.gradientX.end(), 0.0);
        std::fill(b.gradientY.begin(), b.gradientY.end(), 0.0);
        b.gradientX[static_cast<std::size_t>(p)] = 1.0;
        b.gradientY[static_cast<std::size_t>(p)] = -1.0;
        Matrix h;
        std::vector<double> g;
        b.withDerivatives(l, identity2x3(), h, g);
        EXPECT_NEAR((g[0] + g[2] + g[4]) / 2.0, 1.0, 1e-14) << p;
        EXPECT_NEAR((g[1] + g[3] + g[5]) / 2.0, -1.0, 1e-14) << p;
        if (p == 1 * 8 + 2) { // landmark 0
            EXPECT_NEAR(g[0] / 2.0, 1.0, 1e-15);
            EXPECT_NEAR(g[2], 0.0, 1e-15);
            EXPECT_NEAR(g[4], 0.0, 1e-15);
        }
    }
}

// (p - L1) / (L0 - L1) is 0 at landmark 1 and 1 at landmark 0, so the first
// two derivative entries vanish at landmark 1 and equal (gx, gy) at landmark 0.
TEST(GeneralKernels, ScaledRotationDerivativesAtTheLandmarks) {
    KernelBench b(10, 10, 10, 10, TransformationType::ScaledRotation);
    std::fill(b.grid.begin(), b.grid.end(), 2.0);
    b.engine.landmarkNormaliser = 25.0;
    const LandmarkSet l = landmarks({2, 3, 6, 6});
    const struct {
        int32_t x, y;
        double d0, d1;
    } at[] = {{6, 6, 0.0, 0.0}, {2, 3, 1.5, -0.5}};
    for (const auto& c : at) {
        std::fill(b.gradientX.begin(), b.gradientX.end(), 0.0);
        std::fill(b.gradientY.begin(), b.gradientY.end(), 0.0);
        b.gradientX[static_cast<std::size_t>(c.y * 10 + c.x)] = 1.5;
        b.gradientY[static_cast<std::size_t>(c.y * 10 + c.x)] = -0.5;
        Matrix h;
        std::vector<double> g;
        b.withDerivatives(l, identity2x3(), h, g);
        EXPECT_NEAR(g[0] / 2.0, c.d0, 1e-14) << c.x;
        EXPECT_NEAR(g[1] / 2.0, c.d1, 1e-14) << c.x;
        EXPECT_GT(h(2, 2) + h(3, 3), 0.0);
    }
}

// The plain walk through the engine's own evaluation operations, used as
// the reference for the kernels' inlined evaluation: error only, no masks.
double plainError(KernelBench& b, const Matrix& m) {
    RegistrationEngine& e = b.engine;
    const bool translation = m.columns == 1;
    double s = 0.0;
    int32_t n = 0;
    for (int32_t j = 0; j < e.gridHeight; ++j)
        for (int32_t k = 0; k < e.gridWidth; ++k) {
            // Closed forms equal the accumulated walk for the matrices used below.
            const double x = translation ? m(0, 0) + k : m(0, 0) + m(0, 1) * k + m(0, 2) * j;
            const double y = translation ? m(1, 0) + j : m(1, 0) + m(1, 1) * k + m(1, 2) * j;
            int32_t px, py;
            if (!nearestPixelInside(x, y, e.modelWidth, e.modelHeight, px, py)) continue;
            ++n;
            if (translation) {
                // Taps from floor(t) + k: any point with that base and a
                // fraction of one half gives them.
                e.sampleX = std::floor(m(0, 0)) + k + 0.5;
                e.sampleY = std::floor(m(1, 0)) + j + 0.5;
                e.computeXIndices();
                e.computeYOffsets();
                cubicWeights(m(0, 0) - std::floor(m(0, 0)), e.xWeights);
                cubicWeights(m(1, 0) - std::floor(m(1, 0)), e.yWeights);
            } else {
                e.locatePoint(x, y);
                cubicWeights(e.sampleX, e.xWeights);
                cubicWeights(e.sampleY, e.yWeights);
            }
            const double r = b.grid[static_cast<std::size_t>(j * e.gridWidth + k)] - e.interpolate();
            s = s + r * r;
        }
    return s / n;
}

TEST(GeneralKernels, InlinedEvaluationMatchesTheEngineBitForBit) {
    KernelBench b(7, 5, 9, 8, TransformationType::Affine);
    b.fillModel();
    for (std::size_t i = 0; i < b.grid.size(); ++i) b.grid[i] = std::cos(1.3 * static_cast<double>(i));
    b.engine.landmarkNormaliser = -24.0;
    const LandmarkSet l = landmarks({6, 2, 3, 6, 9, 6}); // o = 24
    const Matrix matrices[] = {translation(0.25, -0.375), translation(-1.75, 0.5), translation(2.625, 1.125),
                               [] {
                                   Matrix m(2, 3);
                                   m.values = {-0.25, 0.75, 0.125, -0.375, -0.0625, 0.625};
                                   return m;
                               }(),
                               [] {
                                   Matrix m(2, 3);
                                   m.values = {6.5, -0.5, 0.25, 0.25, 0.5, 0.5};
                                   return m;
                               }()};
    for (const Matrix& m : matrices) {
        SCOPED_TRACE(testing::Message() << m.values[0] << " " << m.values[1]);
        const double expected = plainError(b, m);
        ASSERT_TRUE(std::isfinite(expected));
        if (m.columns == 1) {
            EXPECT_EQ(b.engine.translationError(m), expected);
        } else {
            // Divisor |o / normaliser| = 1 leaves the mean as it is.
            EXPECT_EQ(b.engine.affineError(l, m), expected);
        }
    }
}

TEST(GeneralKernels, MaskedPixelsAreSkippedButNaNMaskProductsAreUsed) {
    KernelBench b(6, 6, 6, 6, TransformationType::Translation);
    std::fill(b.grid.begin(), b.grid.end(), 2.0);
    std::fill(b.gridMask.begin(), b.gridMask.end(), 0.0);
    b.install();
    EXPECT_TRUE(std::isnan(b.engine.translationError(translation(0, 0))));
    b.gridMask[7] = std::numeric_limits<double>::quiet_NaN();
    b.gridMask[0] = 1.0;
    b.modelMask[0] = 0.0;
    EXPECT_EQ(b.engine.translationError(translation(0, 0)), 4.0);
}

} // namespace
} // namespace alignopt
