#pragma once

// The damped Gauss-Newton (Marquardt-Levenberg) search every optimiser
// runs, written once: the damped trials, then one undamped step. What is
// searched over (landmarks, or an angle and a shift) and how a step makes a
// trial are the caller's.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/linalg/Inversion.h"
#include "core/linalg/Matrix.h"

namespace alignopt {

// Searches over a state of n parameters:
//   errorWithDerivatives(S, H, g) returns the error of state S and fills the
//     n x n Gauss-Newton matrix H and the gradient g;
//   errorOnly(S) returns the error alone;
//   makeTrial(S, step, T) makes T from S moved by step (S minus step, in the
//     caller's parameters) and returns the size of that move, which ends the
//     search once below pixelPrecision.
// `state` only ever moves to a trial whose error is strictly lower than the
// best so far; `accepted()` runs right after each evaluation that becomes the
// best, the first included, before any other evaluation. Coarse levels are
// cheap, so they get proportionally more trials: iterationFactor * levelScale
// - 1 in all.
struct NoAcceptHook {
    void operator()() const {}
};
template <class State, class ErrorWithDerivatives, class ErrorOnly, class MakeTrial, class Accepted = NoAcceptHook>
void dampedSearch(State& state, int32_t n, int32_t iterationFactor, int32_t levelScale, double pixelPrecision,
                  ErrorWithDerivatives&& errorWithDerivatives, ErrorOnly&& errorOnly, MakeTrial&& makeTrial,
                  Accepted&& accepted = Accepted{}) {
    Matrix hessian(n, n);
    std::vector<double> gradient(static_cast<std::size_t>(n), 0.0);
    Matrix damped(n, n); // zero at the start; only its diagonal is rewritten between trials
    std::vector<double> step(static_cast<std::size_t>(n), 0.0);
    State trial = state;

    // step = inverse * gradient, each component summed in index order.
    const auto stepFrom = [&](const Matrix& inverse) {
        for (int32_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int32_t k = 0; k < n; ++k) sum += gradient[static_cast<std::size_t>(k)] * inverse(j, k);
            step[static_cast<std::size_t>(j)] = sum;
        }
        return makeTrial(static_cast<const State&>(state), std::span<const double>(step), trial);
    };

    double best = errorWithDerivatives(static_cast<const State&>(state), hessian, std::span<double>(gradient));
    accepted();
    double lambda = 1.0;
    int32_t iter = 1;
    const int64_t trialLimit = static_cast<int64_t>(iterationFactor) * levelScale - 1;
    for (;;) {
        // The off-diagonal Hessian takes no part in the damped system. Only
        // the diagonal is rewritten; the rest is what the previous inversion
        // left, zeros for any finite diagonal.
        for (int32_t j = 0; j < n; ++j) damped(j, j) = (lambda + 1.0) * hessian(j, j);
        invertMatrix(damped);
        const double moved = stepFrom(damped);

        // H and g now describe the trial, whether it is accepted or not.
        const double error = errorWithDerivatives(static_cast<const State&>(trial), hessian,
                                                  std::span<double>(gradient));
        ++iter;
        double factor = 4.0;
        if (best > error) { // strictly lower; NaN never wins
            best = error;
            state = trial;
            accepted();
            factor = 0.25;
        }
        lambda = lambda * factor;
        if (iter >= trialLimit) break;
        if (!(moved >= pixelPrecision)) break; // NaN ends it too
    }

    // One undamped step with the full matrix of the last trial.
    invertMatrix(hessian);
    stepFrom(hessian);
    if (best > errorOnly(static_cast<const State&>(trial))) {
        state = trial;
        accepted();
    }
}

// The search over the n coordinates of n/2 landmarks: a trial is the
// landmarks minus the step, and its size the landmarks' mean displacement.
template <class ErrorWithDerivatives, class ErrorOnly, class Accepted = NoAcceptHook>
void dampedLandmarkSearch(LandmarkSet& landmarks, int32_t n, int32_t iterationFactor, int32_t levelScale,
                          double pixelPrecision, ErrorWithDerivatives&& errorWithDerivatives,
                          ErrorOnly&& errorOnly, Accepted&& accepted = Accepted{}) {
    const int32_t landmarkCount = n / 2;
    const auto landmarkTrial = [&](const LandmarkSet& from, std::span<const double> step, LandmarkSet& trial) {
        double moved = 0.0;
        for (int32_t p = 0; p < landmarkCount; ++p) {
            const double dx = step[static_cast<std::size_t>(2 * p)];
            const double dy = step[static_cast<std::size_t>(2 * p + 1)];
            trial(p, 0) = from(p, 0) - dx;
            trial(p, 1) = from(p, 1) - dy;
            moved += std::sqrt(dy * dy + dx * dx);
        }
        return moved / (n * 0.5);
    };
    dampedSearch(landmarks, n, iterationFactor, levelScale, pixelPrecision, errorWithDerivatives, errorOnly,
                 landmarkTrial, accepted);
}

} // namespace alignopt
