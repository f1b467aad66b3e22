#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/linalg/Inversion.h"
#include "core/linalg/Matrix.h"

namespace alignopt {

// The damped Gauss-Newton (Marquardt-Levenberg) search of the general
// optimiser over the n coordinates of n/2 landmarks, apart from the kernels:
// errorWithDerivatives(L, H, g) returns the error of landmark set L and fills
// H and g; errorOnly(L) returns the error alone. `landmarks` only ever moves
// to a set whose error is strictly lower than the best so far; `accepted()`
// runs right after each evaluation that becomes the best, the first included.
struct NoAcceptHook {
    void operator()() const {}
};
template <class ErrorWithDerivatives, class ErrorOnly, class Accepted = NoAcceptHook>
void dampedLandmarkSearch(LandmarkSet& landmarks, int32_t n, int32_t iterationFactor, int32_t levelScale,
                          double pixelPrecision, ErrorWithDerivatives&& errorWithDerivatives,
                          ErrorOnly&& errorOnly, Accepted&& accepted = Accepted{}) {
    const int32_t landmarkCount = n / 2;
    Matrix hessian(n, n);
    std::vector<double> gradient(static_cast<std::size_t>(n), 0.0);
    Matrix damped(n, n); // zero at the start; only its diagonal is rewritten between trials
    std::vector<double> step(static_cast<std::size_t>(n), 0.0);
    LandmarkSet trial(landmarkCount, 2);

    // step = inverse * gradient (k ascending from 0); trial = landmarks - step.
    const auto takeStep = [&](const Matrix& inverse) {
        for (int32_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int32_t k = 0; k < n; ++k) sum += gradient[static_cast<std::size_t>(k)] * inverse(j, k);
            step[static_cast<std::size_t>(j)] = sum;
        }
        for (int32_t p = 0; p < landmarkCount; ++p) {
            trial(p, 0) = landmarks(p, 0) - step[static_cast<std::size_t>(2 * p)];
            trial(p, 1) = landmarks(p, 1) - step[static_cast<std::size_t>(2 * p + 1)];
        }
    };
    const auto accept = [&] {
        accepted();
        for (int32_t p = 0; p < landmarkCount; ++p) {
            landmarks(p, 0) = trial(p, 0);
            landmarks(p, 1) = trial(p, 1);
        }
    };

    double best = errorWithDerivatives(landmarks, hessian, std::span<double>(gradient));
    accepted();
    double lambda = 1.0;
    int32_t iter = 1;
    // Coarse levels are cheap, so they get proportionally more trials.
    const int64_t trialLimit = static_cast<int64_t>(iterationFactor) * levelScale - 1;
    for (;;) {
        for (int32_t j = 0; j < n; ++j) damped(j, j) = (lambda + 1.0) * hessian(j, j);
        invertMatrix(damped);
        takeStep(damped);
        double moved = 0.0;
        for (int32_t p = 0; p < landmarkCount; ++p) {
            const double dx = step[static_cast<std::size_t>(2 * p)];
            const double dy = step[static_cast<std::size_t>(2 * p + 1)];
            moved += std::sqrt(dy * dy + dx * dx);
        }
        const double displacement = moved / (n * 0.5);

        // H and g now describe the trial, whether it is accepted or not.
        const double error = errorWithDerivatives(trial, hessian,
                                                  std::span<double>(gradient));
        ++iter;
        double factor = 4.0;
        if (best > error) { // strictly lower; NaN never wins
            best = error;
            accept();
            factor = 0.25;
        }
        lambda = lambda * factor;
        if (iter >= trialLimit) break;
        if (!(displacement >= pixelPrecision)) break; // NaN ends it too
    }

    // One undamped step with the full matrix of the last trial.
    invertMatrix(hessian);
    takeStep(hessian);
    if (best > errorOnly(trial)) accept();
}

} // namespace alignopt
