// Damped Gauss-Newton (Marquardt-Levenberg) over the source landmark
// coordinates, for translation, scaled rotation and affine.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/linalg/Inversion.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

void RegistrationEngine::optimiseGeneral() {
    const int32_t n = parameterCount(transformation);
    const int32_t landmarkCount = n / 2;
    Matrix hessian(n, n);
    std::vector<double> gradient(static_cast<std::size_t>(n), 0.0);
    Matrix damped(n, n); // only its diagonal is rewritten between trials
    std::vector<double> step(static_cast<std::size_t>(n), 0.0);
    LandmarkSet trial(landmarkCount, 2);

    const auto errorWithDerivatives = [&](const LandmarkSet& landmarks, const Matrix& m) {
        switch (transformation) {
        case TransformationType::Translation: return translationErrorGradientHessian(m, hessian, gradient);
        case TransformationType::ScaledRotation:
            return scaledRotationErrorGradientHessian(landmarks, m, hessian, gradient);
        default: return affineErrorGradientHessian(landmarks, m, hessian, gradient);
        }
    };
    const auto errorOnly = [&](const LandmarkSet& landmarks, const Matrix& m) {
        switch (transformation) {
        case TransformationType::Translation: return translationError(m);
        case TransformationType::ScaledRotation: return scaledRotationError(landmarks, m);
        default: return affineError(landmarks, m);
        }
    };
    // step = inverse * gradient, k ascending from 0.
    const auto solve = [&](const Matrix& inverse) {
        for (int32_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int32_t k = 0; k < n; ++k) sum += gradient[static_cast<std::size_t>(k)] * inverse(j, k);
            step[static_cast<std::size_t>(j)] = sum;
        }
        for (int32_t p = 0; p < landmarkCount; ++p) {
            trial(p, 0) = sourceLandmarks(p, 0) - step[static_cast<std::size_t>(2 * p)];
            trial(p, 1) = sourceLandmarks(p, 1) - step[static_cast<std::size_t>(2 * p + 1)];
        }
    };
    const auto accept = [&] {
        for (int32_t p = 0; p < landmarkCount; ++p) {
            sourceLandmarks(p, 0) = trial(p, 0);
            sourceLandmarks(p, 1) = trial(p, 1);
        }
    };

    Matrix m = transformationFromLandmarks(transformation, sourceLandmarks, targetLandmarks);
    double best = errorWithDerivatives(sourceLandmarks, m);
    double lambda = 1.0;
    int32_t iter = 1;
    // Coarse levels are cheap, so they get proportionally more trials.
    const int64_t trialLimit = static_cast<int64_t>(iterationFactor) * levelScale - 1;
    for (;;) {
        for (int32_t j = 0; j < n; ++j) damped(j, j) = (lambda + 1.0) * hessian(j, j);
        invertMatrix(damped);
        solve(damped);
        double moved = 0.0;
        for (int32_t p = 0; p < landmarkCount; ++p) {
            const double dx = step[static_cast<std::size_t>(2 * p)];
            const double dy = step[static_cast<std::size_t>(2 * p + 1)];
            moved += std::sqrt(dy * dy + dx * dx);
        }
        const double displacement = moved / (n * 0.5);

        // H and g now describe the trial, accepted or not.
        m = transformationFromLandmarks(transformation, trial, targetLandmarks);
        const double error = errorWithDerivatives(trial, m);
        ++iter;
        double factor = 4.0;
        if (best > error) { // strictly lower; NaN never wins
            best = error;
            accept();
            factor = 0.25;
        }
        lambda = lambda * factor;
        if (iter >= trialLimit) break;
        if (!(displacement >= pixelPrecision)) break; // also ends on NaN
    }

    // One undamped step with the full matrix of the last trial.
    invertMatrix(hessian);
    solve(hessian);
    m = transformationFromLandmarks(transformation, trial, targetLandmarks);
    if (best > errorOnly(trial, m)) accept();
}

} // namespace alignopt
