// Bilinear: the optimiser moves the four source landmarks directly. The grid is
// the target image, the model the source image, and the slopes come from the
// model spline's own derivatives.
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

constexpr int32_t parameters = 8;

// The four trial landmarks: the step is subtracted from the source landmarks.
void bilinearTrial(const LandmarkSet& source, const double (&step)[parameters], LandmarkSet& trial) {
    for (int32_t l = 0; l < 4; ++l) {
        trial(l, 0) = source(l, 0) - step[2 * l];
        trial(l, 1) = source(l, 1) - step[2 * l + 1];
    }
}

void solveStep(const Matrix& inverse, const double (&gradient)[parameters], double (&step)[parameters]) {
    for (int32_t r = 0; r < parameters; ++r) {
        double sum = 0.0;
        for (int32_t c = 0; c < parameters; ++c) sum += inverse(r, c) * gradient[c];
        step[r] = sum;
    }
}

void copyLandmarks(const LandmarkSet& from, LandmarkSet& to) {
    for (int32_t l = 0; l < 4; ++l) {
        to(l, 0) = from(l, 0);
        to(l, 1) = from(l, 1);
    }
}

} // namespace

void RegistrationEngine::updateBilinearInverse() {
    // Closed-form inverse of G, whose row k is (1, X_k, Y_k, X_k*Y_k) for
    // target landmark k; every entry is a cofactor over B = -det G.
    const LandmarkSet& t = targetLandmarks;
    const double X0 = t(0, 0), Y0 = t(0, 1);
    const double X1 = t(1, 0), Y1 = t(1, 1);
    const double X2 = t(2, 0), Y2 = t(2, 1);
    const double X3 = t(3, 0), Y3 = t(3, 1);
    const double d01 = Y0 - Y1, d02 = Y0 - Y2, d03 = Y0 - Y3;
    const double d12 = Y1 - Y2, d13 = Y1 - Y3, d23 = Y2 - Y3;
    const double e01 = X0 * X1 * d01, e02 = X0 * X2 * d02, e03 = X0 * X3 * d03;
    const double e12 = X1 * X2 * d12, e13 = X1 * X3 * d13, e23 = X2 * X3 * d23;
    const double b = e01 * d23 - e02 * d13 + e03 * d12 + e12 * d03 - e13 * d02 + e23 * d01;

    double* g = bilinearInverse.data(); // g[4*l + r] = G^-1(r, l)
    g[0] = (e13 * Y2 - e23 * Y1 - e12 * Y3) / b;
    g[1] = (Y2 * X2 * d13 - Y1 * X1 * d23 - Y3 * X3 * d12) / b;
    g[2] = (e12 - e13 + e23) / b;
    g[3] = (d12 * X3 - d13 * X2 + d23 * X1) / b;

    g[4] = (e23 * Y0 - e03 * Y2 + e02 * Y3) / b;
    g[5] = (Y0 * X0 * d23 - Y2 * X2 * d03 + Y3 * X3 * d02) / b;
    g[6] = (e03 - e02 - e23) / b;
    g[7] = (d03 * X2 - d02 * X3 - d23 * X0) / b;

    g[8] = (e03 * Y1 - e13 * Y0 - e01 * Y3) / b;
    g[9] = (Y1 * X1 * d03 - Y0 * X0 * d13 - Y3 * X3 * d01) / b;
    g[10] = (e01 - e03 + e13) / b;
    g[11] = (d01 * X3 - d03 * X1 + d13 * X0) / b;

    g[12] = (e12 * Y0 - e02 * Y1 + e01 * Y2) / b;
    g[13] = (Y0 * X0 * d12 - Y1 * X1 * d02 + Y2 * X2 * d01) / b;
    g[14] = (e02 - e01 - e12) / b;
    g[15] = (d02 * X1 - Y0 * X2 + Y1 * X2 - d12 * X0) / b;
}

double RegistrationEngine::bilinearError(const Matrix& m) {
    double sum = 0.0;
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        double s = sum;
        const double* row = gridSamples.data() + c.rowStart;
        for (int32_t p = 0; p < c.count; ++p) {
            const double r = c.value[p] - row[c.column[p]]; // model minus grid
            s = s + r * r;
        }
        sum = s;
    };
    const int64_t count = walkGrid<true, false>(*this, m, visit);
    notePass(sum, count);
    return sum / static_cast<double>(count); // no pixel: 0/0, NaN
}

double RegistrationEngine::bilinearErrorGradientHessian(const Matrix& m, Matrix& hessian,
                                                        std::span<double> gradient) {
    updateBilinearInverse();
    const double* inverse = bilinearInverse.data();
    // Each entry starts at 0 and adds the pixels in walk order, a chunk of
    // pixels at a time.
    GaussNewtonSums<parameters> sums;
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        addChunk(sums, BilinearRule(c, gridSamples.data(), inverse), c.count);
    };
    const int64_t count = walkGrid<true, true>(*this, m, visit);
    sums.store(hessian, gradient);
    notePass(sums.s, count);
    return sums.s / static_cast<double>(count);
}

void RegistrationEngine::optimiseBilinear() {
    Matrix m = transformationFromLandmarks(TransformationType::Bilinear, targetLandmarks, sourceLandmarks);
    LandmarkSet trial(4, 2);
    Matrix hessian(parameters, parameters);
    Matrix damped(parameters, parameters);
    double gradient[parameters] = {};
    double step[parameters] = {};
    const int64_t passLimit = static_cast<int64_t>(iterationFactor) * levelScale - 1;

    double bestError = bilinearErrorGradientHessian(m, hessian, gradient);
    acceptPass();
    double lambda = 1.0;
    int64_t pass = 1;
    for (;;) {
        // Damped diagonal system: the off-diagonal Hessian takes no part.
        // Only the diagonal is rewritten; the rest is what the previous
        // inversion left, zeros for any finite diagonal.
        for (int32_t q = 0; q < parameters; ++q) damped(q, q) = (lambda + 1.0) * hessian(q, q);
        invertMatrix(damped);
        solveStep(damped, gradient, step);
        bilinearTrial(sourceLandmarks, step, trial);
        // Mean displacement of the four landmarks.
        double displacement = 0.0;
        for (int32_t l = 0; l < 4; ++l)
            displacement += std::sqrt(step[2 * l + 1] * step[2 * l + 1] + step[2 * l] * step[2 * l]);
        const double stepSize = displacement / (static_cast<double>(parameterCount(transformation)) * 0.5);

        m = transformationFromLandmarks(TransformationType::Bilinear, targetLandmarks, trial);
        // The gradient and Hessian now belong to the trial, accepted or not.
        const double error = bilinearErrorGradientHessian(m, hessian, gradient);
        ++pass;
        if (bestError > error) { // never true for NaN
            bestError = error;
            copyLandmarks(trial, sourceLandmarks);
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
    bilinearTrial(sourceLandmarks, step, trial);
    m = transformationFromLandmarks(TransformationType::Bilinear, targetLandmarks, trial);
    if (bestError > bilinearError(m)) {
        copyLandmarks(trial, sourceLandmarks);
        acceptPass();
    }
}

} // namespace alignopt
