// Rigid body: the optimiser works on an angle and a translation rather than on
// landmarks. The model is the target image, the grid the source image with its
// own gradients.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/linalg/Inversion.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/GaussNewtonSums.h"
#include "core/registration/GridWalk.h"
#include "core/registration/KernelTerms.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

namespace {

// The trial: the current mapping shifted by (dtx, dty), then turned by the
// angle step about the origin.
void rigidTrial(const Matrix& c, const double (&step)[3], Matrix& t) {
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

// step = inverse * gradient, each component summed in index order.
void solveStep(const Matrix& inverse, const double (&gradient)[3], double (&step)[3]) {
    for (int32_t r = 0; r < 3; ++r) {
        double sum = 0.0;
        for (int32_t c = 0; c < 3; ++c) sum += inverse(r, c) * gradient[c];
        step[r] = sum;
    }
}

} // namespace

double RegistrationEngine::rigidBodyError(const Matrix& m) {
    double sum = 0.0;
    const auto visit = [&](const PixelChunk& c)
                           __attribute__((always_inline)) { sum = addSquaredResiduals(sum, c, gridSamples.data()); };
    const int64_t count = walkGrid<false, false>(*this, m, visit);
    notePass(sum, count);
    return sum / static_cast<double>(count); // no pixel: 0/0, NaN
}

double RegistrationEngine::rigidBodyErrorGradientHessian(const Matrix& m, Matrix& hessian,
                                                         std::span<double> gradient) {
    // Per pixel: the residual's derivatives along the rotation and the two
    // shifts, summed a chunk of pixels at a time, in walk order.
    GaussNewtonSums<3> sums;
    const RigidBodyTerms terms;
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        addChunk(sums, GridGradientRule<RigidBodyTerms>(terms, c, gridSamples.data(), gridGradientX.data(),
                                                        gridGradientY.data()),
                 c.count);
    };
    const int64_t count = walkGrid<false, false>(*this, m, visit);
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

    Matrix trial(2, 3);
    Matrix hessian(3, 3);
    Matrix damped(3, 3);
    double gradient[3] = {0.0, 0.0, 0.0};
    double step[3] = {0.0, 0.0, 0.0};

    // The squares are formed in 64 bits: a side of 46341 or more overflows 32.
    const int64_t width = modelWidth;
    const int64_t height = modelHeight;
    const double diagonal = std::sqrt(static_cast<double>(width * width + height * height));
    const int64_t passLimit = static_cast<int64_t>(iterationFactor) * levelScale - 1;

    double bestError = rigidBodyErrorGradientHessian(current, hessian, gradient);
    acceptPass();
    double lambda = 1.0;
    int64_t pass = 1;
    for (;;) {
        // Damped diagonal system: the off-diagonal Hessian takes no part.
        // Only the diagonal is rewritten; the rest is what the previous
        // inversion left, zeros for any finite diagonal.
        for (int32_t p = 0; p < 3; ++p) damped(p, p) = (lambda + 1.0) * hessian(p, p);
        invertMatrix(damped);
        solveStep(damped, gradient, step);
        rigidTrial(current, step, trial);
        const double stepSize = diagonal * 0.25 * std::fabs(step[0]) + std::sqrt(step[2] * step[2] + step[1] * step[1]);

        // The gradient and Hessian now belong to the trial, accepted or not.
        const double error = rigidBodyErrorGradientHessian(trial, hessian, gradient);
        ++pass;
        if (bestError > error) { // never true for NaN
            current = trial;
            bestError = error;
            acceptPass();
            lambda *= 0.25;
        } else {
            lambda *= 4.0;
        }
        if (pass >= passLimit) break;
        if (!(stepSize >= pixelPrecision)) break; // also ends on a NaN step
    }

    // A last undamped Gauss-Newton step from the latest Hessian and gradient.
    invertMatrix(hessian);
    solveStep(hessian, gradient, step);
    rigidTrial(current, step, trial);
    if (bestError > rigidBodyError(trial)) {
        current = trial;
        acceptPass();
    }

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
