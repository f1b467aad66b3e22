// Rigid body: the optimiser works on an angle and a translation rather than on
// landmarks. The model is the target image, the grid the source image with its
// own gradients.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/linalg/LandmarkTransform.h"
#include "core/registration/DampedSearch.h"
#include "core/registration/GaussNewtonSums.h"
#include "core/registration/KernelTerms.h"
#include "core/registration/PixelWalk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

// The trial: the current mapping shifted by (dtx, dty), then turned by the
// angle step about the origin.
void rigidTrial(const Matrix& c, std::span<const double> step, Matrix& t) {
    const double psi = std::atan2(c(0, 2), c(0, 1)) - step[0];
    t(0, 1) = std::cos(psi);
    t(0, 2) = std::sin(psi);
    t(1, 1) = -std::sin(psi);
    t(1, 2) = std::cos(psi);
    const double cs = std::cos(step[0]);
    const double sn = std::sin(step[0]);
    t(0, 0) = (step[1] + c(0, 0)) * cs - (c(1, 0) + step[2]) * sn;
    t(1, 0) = (c(1, 0) + step[2]) * cs + (step[1] + c(0, 0)) * sn;
}

} // namespace

double RegistrationEngine::rigidBodyError(const Matrix& m) {
    double sum = 0.0;
    const auto visit = [&](const PixelChunk& c)
                           __attribute__((always_inline)) { sum = addSquaredResiduals(sum, c, gridSamples.data()); };
    const int64_t count = walkGrid<false, false>(*this, m, supportedProcessorLevel(), visit);
    notePass(sum, count);
    return sum / static_cast<double>(count); // no pixel: 0/0, NaN
}

double RegistrationEngine::rigidBodyErrorGradientHessian(const Matrix& m, Matrix& hessian,
                                                         std::span<double> gradient) {
    // Per pixel: the residual's derivatives along the rotation and the two
    // shifts, summed a chunk of pixels at a time, in walk order.
    GaussNewtonSums<3> sums;
    const RigidBodyTerms terms;
    const ProcessorLevel level = supportedProcessorLevel();
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        addChunkAt(level, sums, GridGradientRule<RigidBodyTerms>(terms, c, gridSamples.data(), gridGradientX.data(),
                                                        gridGradientY.data()),
                 c.count);
    };
    const int64_t count = walkGrid<false, false>(*this, m, level, visit);
    sums.store(hessian, gradient);
    notePass(sums.s, count);
    return sums.s / static_cast<double>(count);
}

void RegistrationEngine::optimiseRigidBody() {
    // Make the source landmarks an exact rigid image of the target landmarks,
    // then work on the source-to-target mapping.
    const Matrix m = transformationFromLandmarks(TransformationType::RigidBody, targetLandmarks, sourceLandmarks);
    for (int32_t l = 0; l < 3; ++l) {
        const double X = targetLandmarks(l, 0);
        const double Y = targetLandmarks(l, 1);
        sourceLandmarks(l, 0) = (X * m(0, 1) + m(0, 0)) + m(0, 2) * Y;
        sourceLandmarks(l, 1) = (m(1, 1) * X + m(1, 0)) + m(1, 2) * Y;
    }
    Matrix current = transformationFromLandmarks(TransformationType::RigidBody, sourceLandmarks, targetLandmarks);

    // The squares are formed in 64 bits: a side of 46341 or more overflows 32.
    const int64_t width = modelWidth;
    const int64_t height = modelHeight;
    const double diagonal = std::sqrt(static_cast<double>(width * width + height * height));
    // A step's size: the angle's move at a quarter of the diagonal plus the shift's.
    const auto makeTrial = [&](const Matrix& from, std::span<const double> step, Matrix& trial) {
        rigidTrial(from, step, trial);
        return diagonal * 0.25 * std::fabs(step[0]) + std::sqrt(step[2] * step[2] + step[1] * step[1]);
    };
    dampedSearch(
        current, 3, iterationFactor, levelScale, pixelPrecision,
        [&](const Matrix& mapping, Matrix& hessian, std::span<double> gradient) {
            return rigidBodyErrorGradientHessian(mapping, hessian, gradient);
        },
        [&](const Matrix& mapping) { return rigidBodyError(mapping); }, makeTrial, [this] { acceptPass(); });

    // Back to source landmarks through the inverse of the rigid mapping:
    // the transpose of its rotation.
    for (int32_t l = 0; l < 3; ++l) {
        const double X = targetLandmarks(l, 0);
        const double Y = targetLandmarks(l, 1);
        sourceLandmarks(l, 0) = (Y - current(1, 0)) * current(1, 1) + (X - current(0, 0)) * current(0, 1);
        sourceLandmarks(l, 1) = (Y - current(1, 0)) * current(1, 2) + (X - current(0, 0)) * current(0, 2);
    }
}

} // namespace alignopt
