// Bilinear: the optimiser moves the four source landmarks directly. The grid is
// the target image, the model the source image, and the slopes come from the
// model spline's own derivatives.
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

constexpr int32_t parameters = 8;

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
    const int64_t count = walkGrid<true, false>(*this, m, supportedProcessorLevel(), visit);
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
    const ProcessorLevel level = supportedProcessorLevel();
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        addChunkAt(level, sums, BilinearRule(c, gridSamples.data(), inverse), c.count);
    };
    const int64_t count = walkGrid<true, true>(*this, m, level, visit);
    sums.store(hessian, gradient);
    notePass(sums.s, count);
    return sums.s / static_cast<double>(count);
}

// The damped search over the four source landmarks, each trial judged
// through the bilinear mapping from the target landmarks to it.
void RegistrationEngine::optimiseBilinear() {
    const auto mappingTo = [&](const LandmarkSet& landmarks) {
        return transformationFromLandmarks(TransformationType::Bilinear, targetLandmarks, landmarks);
    };
    dampedLandmarkSearch(
        sourceLandmarks, parameters, iterationFactor, levelScale, pixelPrecision,
        [&](const LandmarkSet& landmarks, Matrix& hessian, std::span<double> gradient) {
            return bilinearErrorGradientHessian(mappingTo(landmarks), hessian, gradient);
        },
        [&](const LandmarkSet& landmarks) { return bilinearError(mappingTo(landmarks)); },
        [this] { acceptPass(); });
}

} // namespace alignopt
