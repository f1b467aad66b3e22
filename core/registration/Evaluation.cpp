// The engine's spline evaluation, step by step through its fields: the
// plain reference the fast evaluations of core/sampling are held against,
// on the same weight and tap rule.
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/CubicSplineRule.h"

namespace alignopt {

namespace {

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

void RegistrationEngine::computeXWeights() { cubicWeightAndDerivativeRule(sampleX, xWeights, xDerivativeWeights); }

void RegistrationEngine::computeYWeights() { cubicWeightAndDerivativeRule(sampleY, yWeights, yDerivativeWeights); }

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
