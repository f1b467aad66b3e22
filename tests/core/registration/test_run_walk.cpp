#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/linalg/Matrix.h"
#include "core/registration/RegistrationEngine.h"
#include "test_rigid_bilinear_support.h"

namespace alignopt {
namespace {

using testing::landmarks;
using testing::TestEngine;
using testing::TestLevel;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// What one kernel call leaves: its error, gradient and Hessian.
struct KernelResult {
    std::vector<double> values;
};

bool sameBits(const KernelResult& a, const KernelResult& b) {
    if (a.values.size() != b.values.size()) return false;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (std::isnan(a.values[i]) && std::isnan(b.values[i])) continue;
        if (std::memcmp(&a.values[i], &b.values[i], sizeof(double)) != 0) return false;
    }
    return true;
}

// A level whose grid is a smooth pattern with gradients, so every term of
// every kernel is busy.
TestLevel busyLevel(int32_t modelWidth, int32_t modelHeight, int32_t gridWidth, int32_t gridHeight) {
    TestLevel level(modelWidth, modelHeight, gridWidth, gridHeight);
    for (int32_t j = 0; j < gridHeight; ++j)
        for (int32_t k = 0; k < gridWidth; ++k) {
            const std::size_t i = static_cast<std::size_t>(j) * gridWidth + k;
            level.gridSamples[i] = std::cos(0.3 * k - 0.2 * j) + 0.1 * k;
            level.gridGradientX[i] = std::sin(0.5 * k + 0.1 * j);
            level.gridGradientY[i] = std::cos(0.4 * j - 0.3 * k);
        }
    return level;
}

// Every kernel the run walk serves, on matrix m (2 x 3, or 2 x 4 for bilinear).
KernelResult runKernel(RegistrationEngine& e, TransformationType type, bool derivatives, const Matrix& m) {
    const int32_t n = type == TransformationType::RigidBody ? 3 : parameterCount(type);
    Matrix hessian(n, n);
    std::vector<double> gradient(static_cast<std::size_t>(n), 0.0);
    double error = 0.0;
    const LandmarkSet three = landmarks({{2.0, 3.0}, {17.0, 4.5}, {6.0, 19.0}});
    switch (type) {
    case TransformationType::RigidBody:
        error = derivatives ? e.rigidBodyErrorGradientHessian(m, hessian, gradient) : e.rigidBodyError(m);
        break;
    case TransformationType::ScaledRotation:
        error = derivatives ? e.scaledRotationErrorGradientHessian(three, m, hessian, gradient)
                            : e.scaledRotationError(three, m);
        break;
    case TransformationType::Affine:
        error = derivatives ? e.affineErrorGradientHessian(three, m, hessian, gradient) : e.affineError(three, m);
        break;
    default:
        error = derivatives ? e.bilinearErrorGradientHessian(m, hessian, gradient) : e.bilinearError(m);
        break;
    }
    KernelResult r;
    r.values.push_back(error);
    r.values.insert(r.values.end(), gradient.begin(), gradient.end());
    r.values.insert(r.values.end(), hessian.values.begin(), hessian.values.end());
    return r;
}

Matrix affineMatrix(double m00, double m01, double m02, double m10, double m11, double m12) {
    Matrix m(2, 3);
    m.values = {m00, m01, m02, m10, m11, m12};
    return m;
}

Matrix rotation(double degrees, double shiftX, double shiftY) {
    const double c = std::cos(degrees * M_PI / 180.0), s = std::sin(degrees * M_PI / 180.0);
    return affineMatrix(shiftX, c, -s, shiftY, s, c);
}

Matrix withXY(const Matrix& m, double xy0, double xy1) {
    Matrix b(2, 4);
    b.values = {m(0, 0), m(0, 1), m(0, 2), xy0, m(1, 0), m(1, 1), m(1, 2), xy1};
    return b;
}

// Without masks the walks take each row's used pixels as one run of columns
// and work out several rows' points together, reading the model's margin
// copy; with masks of ones they test every pixel and fold the margin taps.
// Both must give every kernel the same bits, whatever the matrix: turned any
// way, partly or wholly outside, standing still along a row, and with
// infinite or NaN entries.
TEST(RunWalk, MatchesThePixelByPixelWalkBitForBit) {
    const Matrix matrices[] = {
        rotation(0.0, 0.0, 0.0),
        rotation(3.0, 2.5, -1.5),
        rotation(37.0, 8.0, -6.0),
        rotation(90.0, 20.0, 0.25),
        rotation(180.0, 22.5, 21.0),
        rotation(251.0, 5.0, 30.0),
        affineMatrix(-0.5, 1.0, 0.0, -0.5, 0.0, 1.0), // rounds to -1 at -0.5: the first column is out
        affineMatrix(-0.4999, 1.0, 0.0, 0.4999, 0.0, 1.0),
        affineMatrix(10.0, 0.0, 0.0, 7.0, 0.0, 0.0),       // every pixel on one point
        affineMatrix(3.0, 0.0, 1.0, 2.0, 0.0, 0.5),        // no movement along a row
        affineMatrix(1e9, 1.0, 0.0, 0.0, 0.0, 1.0),        // all outside
        affineMatrix(-3.0, 0.75, 0.1, 40.0, -0.3, -1.2),   // rows leaving through the top
        affineMatrix(30.0, -2.5, 0.0, 5.0, 0.0, 1.0),      // fast backwards, then outside
        affineMatrix(5.0, 1e-300, 0.0, 5.0, -1e-300, 1.0), // steps that round away
        affineMatrix(5.0, inf, 0.0, 5.0, 0.0, 1.0),        // first column only
        affineMatrix(inf, -inf, 0.0, 5.0, 0.0, 1.0),       // NaN from the second column on
        affineMatrix(5.0, nan, 0.0, 5.0, 0.0, 1.0),
        affineMatrix(nan, 1.0, 0.0, 5.0, 0.0, 1.0),
        affineMatrix(4.0, 1.0, 0.0, 5.0, 0.0, inf),        // only the first row inside
        affineMatrix(2147483647.0, -1e9, 0.0, 5.0, 0.0, 1.0),
    };
    const struct {
        int32_t modelWidth, modelHeight, gridWidth, gridHeight;
    } sizes[] = {{23, 47, 24, 23}, {1, 1, 3, 2}, {3, 2, 2, 3}, {47, 24, 57, 19}};
    const TransformationType families[] = {TransformationType::RigidBody, TransformationType::ScaledRotation,
                                           TransformationType::Affine, TransformationType::Bilinear};
    for (const auto& size : sizes) {
        const TestLevel level = busyLevel(size.modelWidth, size.modelHeight, size.gridWidth, size.gridHeight);
        for (const TransformationType type : families) {
            TestEngine masked(type);
            TestEngine unmasked(type);
            for (TestEngine* e : {&masked, &unmasked}) {
                level.install(**e);
                (*e)->landmarkNormaliser = 7.0;
                (*e)->targetLandmarks = landmarks({{4, 3}, {4, 11}, {14, 3}, {14, 11}});
            }
            unmasked->modelMask = {};
            unmasked->gridMask = {};
            // As the driver installs a level: the runs read the margin copy.
            unmasked->modelMargins.build(unmasked->modelCoefficients, size.modelWidth, size.modelHeight);
            for (const Matrix& base : matrices) {
                const Matrix m = type == TransformationType::Bilinear ? withXY(base, 0.0125, -0.02) : base;
                for (const bool derivatives : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "family " << static_cast<int>(type) << ", model " << size.modelWidth << " x "
                                 << size.modelHeight << ", grid " << size.gridWidth << " x " << size.gridHeight
                                 << ", m = " << m.values[0] << " " << m.values[1] << " " << m.values[2] << " "
                                 << m.values[3] << " " << m.values[4] << " " << m.values[5]
                                 << (derivatives ? ", with derivatives" : ""));
                    EXPECT_TRUE(sameBits(runKernel(*masked, type, derivatives, m),
                                         runKernel(*unmasked, type, derivatives, m)));
                }
            }
        }
    }
}

} // namespace
} // namespace alignopt
