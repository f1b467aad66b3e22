#include "core/image/MirrorFold.h"
#include "core/sampling/CubicWeights.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

namespace {

constexpr double twoThirds = 2.0 / 3.0;  // nearest double to 2/3
constexpr double fourThirds = 4.0 / 3.0; // nearest double to 4/3

// Taps first, first-1, first-2, first-3 (highest index first), folded into
// [0, n) and scaled by `stride`. Interior taps skip the fold; the 64-bit
// arithmetic keeps first-k defined whatever the coordinate was.
void foldTaps(int64_t first, int32_t n, int32_t stride, std::array<int32_t, 4>& taps) {
    if (first - 3 >= 0 && first < n) {
        for (int k = 0; k < 4; ++k) taps[k] = static_cast<int32_t>(first - k) * stride;
    } else {
        for (int k = 0; k < 4; ++k) taps[k] = foldMirror(first - k, n) * stride;
    }
}

// Weights and their derivatives with respect to t. w[1] and w[2] are formed
// differently from cubicWeights, so the last bits may differ from it.
void weightsAndDerivatives(double t, std::array<double, 4>& w, std::array<double, 4>& d) {
    d[0] = (t * 0.5) * t;
    w[0] = (d[0] * t) / 3.0;
    const double s = 1.0 - t;
    d[3] = (s * (-0.5)) * s;
    w[3] = (d[3] * s) / (-3.0);
    d[1] = (1.0 - (d[0] + d[0])) + d[3];
    w[1] = (t + 1.0) * d[3] + twoThirds;
    d[2] = (t * 1.5) * (t - fourThirds);
    w[2] = twoThirds - (2.0 - t) * d[0];
}

// Rows weighted by wy, each row a sum over the taps weighted by wx; both sums
// start at 0 and run k = 0..3, the order every caller relies on for its bits.
double weightedSum(const double* c, const std::array<int32_t, 4>& xIndices, const std::array<int32_t, 4>& yOffsets,
                   const std::array<double, 4>& wx, const std::array<double, 4>& wy) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* row = c + yOffsets[k];
        double r = 0.0;
        for (int j = 0; j < 4; ++j) r += row[xIndices[j]] * wx[j];
        sum += r * wy[k];
    }
    return sum;
}

} // namespace

void cubicWeights(double t, std::array<double, 4>& w) { cubicWeightRule(t, w); }

void RegistrationEngine::locatePoint(double x, double y) {
    sampleX = x;
    sampleY = y;
    computeXIndices();
    computeYOffsets();
    sampleX = x - splineBase(x);
    sampleY = y - splineBase(y);
}

void RegistrationEngine::computeXIndices() {
    foldTaps(static_cast<int64_t>(splineBase(sampleX)) + 2, modelWidth, 1, xIndices);
}

void RegistrationEngine::computeYOffsets() {
    foldTaps(static_cast<int64_t>(splineBase(sampleY)) + 2, modelHeight, modelWidth, yOffsets);
}

void RegistrationEngine::computeXWeights() { weightsAndDerivatives(sampleX, xWeights, xDerivativeWeights); }

void RegistrationEngine::computeYWeights() { weightsAndDerivatives(sampleY, yWeights, yDerivativeWeights); }

double RegistrationEngine::interpolate() const {
    return weightedSum(modelCoefficients.data(), xIndices, yOffsets, xWeights, yWeights);
}

double RegistrationEngine::interpolateDx() const {
    return weightedSum(modelCoefficients.data(), xIndices, yOffsets, xDerivativeWeights, yWeights);
}

double RegistrationEngine::interpolateDy() const {
    return weightedSum(modelCoefficients.data(), xIndices, yOffsets, xWeights, yDerivativeWeights);
}

} // namespace alignopt
