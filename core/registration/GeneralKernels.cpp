// Error kernels of the general optimiser (translation, scaled rotation,
// affine): one pass over the grid image, each pixel mapped into the model
// image, interpolated there and compared with the grid sample.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/registration/GaussNewtonSums.h"
#include "core/registration/KernelTerms.h"
#include "core/registration/MaskReads.h"
#include "core/registration/PixelWalk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/sampling/PixelRounding.h"
#include "core/sampling/TranslationRows.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

// Stands in for the derivative terms in the error-only kernels, which share
// the walks below but never form a derivative vector.
struct NoDerivatives {
    static constexpr int32_t count = 1;
};

struct WalkSums {
    double s = 0.0;
    int32_t n = 0;
};

// Translation walk: the model values of a row come from TranslationRows,
// the same bits as the general sequence with cubicWeights (the tests compare
// the two).
template <bool Derivatives, bool Masked>
WalkSums translationWalk(const RegistrationEngine& e, const Matrix& m, GaussNewtonSums<2>* acc) {
    TranslationRows model(e.modelCoefficients, e.modelWidth, e.modelHeight, m(0, 0), m(1, 0), e.gridWidth);
    const double* grid = e.gridSamples.data();
    const double* gridMask = e.gridMask.data();
    const double* modelMask = e.modelMask.data();
    const double* gradientX = Derivatives ? e.gridGradientX.data() : nullptr;
    const double* gradientY = Derivatives ? e.gridGradientY.data() : nullptr;
    // The model mask is read at each column's nearest pixel, found on the
    // accumulated x as everywhere (rounding in x + 1 can skip a pixel).
    std::vector<int32_t> columnPixels;
    if constexpr (Masked) {
        columnPixels.resize(static_cast<std::size_t>(model.endColumn()));
        double x = m(0, 0);
        for (int32_t k = 0; k < model.endColumn(); ++k, x += 1.0) nearestPixel(x, columnPixels[static_cast<std::size_t>(k)]);
    }
    WalkSums sums;
    // Summed in a local, which the pixel reads cannot alias, and stored once.
    GaussNewtonSums<2> local;
    if constexpr (Derivatives) local = *acc;
    double y = m(1, 0);
    for (int32_t j = 0; j < e.gridHeight && model.firstColumn() < model.endColumn(); ++j, y += 1.0) {
        int32_t py;
        if (!nearestPixel(y, py) || py < 0 || py >= e.modelHeight) continue;
        const double* modelMaskRow = Masked ? modelMask + static_cast<std::ptrdiff_t>(py) * e.modelWidth : nullptr;
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(j) * e.gridWidth;
        model.forRow(j, [&](int32_t k, double value) {
            const std::ptrdiff_t i = row + k;
            if constexpr (Masked) {
                if (!(modelMaskRow[columnPixels[static_cast<std::size_t>(k)]] * gridMask[i] != 0.0)) return; // NaN counts as not 0
            }
            ++sums.n;
            const double r = grid[i] - value;
            if constexpr (Derivatives) {
                const double d[2] = {gradientX[i], gradientY[i]};
                local.add(d, r); // sums r * r as well
            } else {
                sums.s = sums.s + r * r;
            }
        });
    }

    if constexpr (Derivatives) {
        *acc = local;
        sums.s = local.s;
    }
    return sums;
}

// Walk for the 2 x 3 families (PixelWalk.h): the mapped point is advanced by
// additions of the matrix columns, each used pixel evaluated through the
// general sequence (taps from the point, weights from its fractions), a chunk
// of a row's used pixels at a time, then summed in pixel order.
template <class Terms, bool Derivatives>
WalkSums matrixWalk(const RegistrationEngine& e, const Matrix& m, const Terms& terms, GaussNewtonSums<Terms::count>* acc) {
    const double* grid = e.gridSamples.data();
    const double* gradientX = Derivatives ? e.gridGradientX.data() : nullptr;
    const double* gradientY = Derivatives ? e.gridGradientY.data() : nullptr;
    double s = 0.0;
    const ProcessorLevel level = supportedProcessorLevel();
    const auto visit = [&](const PixelChunk& c) __attribute__((always_inline)) {
        if constexpr (Derivatives) {
            addChunkAt(level, *acc, GridGradientRule<Terms>(terms, c, grid, gradientX, gradientY), c.count);
        } else {
            s = addSquaredResiduals(s, c, grid);
        }
    };
    WalkSums sums;
    sums.n = static_cast<int32_t>(walkGrid<false, false>(e, m, level, visit));
    sums.s = Derivatives ? acc->s : s;
    return sums;
}

// Squared distance between the two scaled-rotation landmarks.
double squaredSpan(const LandmarkSet& l) {
    const double dx = l(0, 0) - l(1, 0);
    const double dy = l(0, 1) - l(1, 1);
    return dx * dx + dy * dy;
}

// Twice the signed area of the affine landmark triangle.
double doubleArea(const LandmarkSet& l) {
    const double x0 = l(0, 0), y0 = l(0, 1), x1 = l(1, 0), y1 = l(1, 1), x2 = l(2, 0), y2 = l(2, 1);
    return ((y0 * x1 - y1 * x0) + (y1 * x2 - y2 * x1)) + (y2 * x0 - y0 * x2);
}

// The mean squared residual scaled by d_target^2 / d^2.
double scaledRotationDivided(const WalkSums& sums, double d2, double normaliser) {
    return sums.s / ((static_cast<double>(sums.n) * d2) / normaliser);
}

// The mean squared residual scaled by area_target / area_candidate.
double affineDivided(const WalkSums& sums, double o, double normaliser) {
    return sums.s / (std::fabs(o / normaliser) * static_cast<double>(sums.n));
}

// The walk with or without mask reads, decided once per pass.
template <bool Derivatives>
WalkSums translationWalk(const RegistrationEngine& e, const Matrix& m, GaussNewtonSums<2>* acc) {
    return masksAreRead(e) ? translationWalk<Derivatives, true>(e, m, acc)
                           : translationWalk<Derivatives, false>(e, m, acc);
}

} // namespace

double RegistrationEngine::translationError(const Matrix& m) {
    const WalkSums sums = translationWalk<false>(*this, m, nullptr);
    notePass(sums.s, sums.n);
    return sums.s / static_cast<double>(sums.n);
}

double RegistrationEngine::translationErrorGradientHessian(const Matrix& m, Matrix& hessian,
                                                           std::span<double> gradient) {
    GaussNewtonSums<2> acc;
    const WalkSums sums = translationWalk<true>(*this, m, &acc);
    notePass(sums.s, sums.n);
    acc.store(hessian, gradient);
    return sums.s / static_cast<double>(sums.n);
}

double RegistrationEngine::scaledRotationError(const LandmarkSet& landmarks, const Matrix& m) {
    const double d2 = squaredSpan(landmarks);
    const WalkSums sums = matrixWalk<NoDerivatives, false>(*this, m, NoDerivatives{}, nullptr);
    notePass(sums.s, sums.n);
    return scaledRotationDivided(sums, d2, landmarkNormaliser);
}

double RegistrationEngine::scaledRotationErrorGradientHessian(const LandmarkSet& landmarks, const Matrix& m,
                                                              Matrix& hessian, std::span<double> gradient) {
    const double d2 = squaredSpan(landmarks);
    const ScaledRotationTerms terms(landmarks);
    GaussNewtonSums<4> acc;
    const WalkSums sums = matrixWalk<ScaledRotationTerms, true>(*this, m, terms, &acc);
    notePass(sums.s, sums.n);
    acc.store(hessian, gradient);
    return scaledRotationDivided(sums, d2, landmarkNormaliser);
}

double RegistrationEngine::affineError(const LandmarkSet& landmarks, const Matrix& m) {
    const double o = doubleArea(landmarks);
    const WalkSums sums = matrixWalk<NoDerivatives, false>(*this, m, NoDerivatives{}, nullptr);
    notePass(sums.s, sums.n);
    return affineDivided(sums, o, landmarkNormaliser);
}

double RegistrationEngine::affineErrorGradientHessian(const LandmarkSet& landmarks, const Matrix& m,
                                                      Matrix& hessian, std::span<double> gradient) {
    const double o = doubleArea(landmarks);
    const AffineTerms terms(landmarks, o);
    GaussNewtonSums<6> acc;
    const WalkSums sums = matrixWalk<AffineTerms, true>(*this, m, terms, &acc);
    notePass(sums.s, sums.n);
    acc.store(hessian, gradient);
    return affineDivided(sums, o, landmarkNormaliser);
}

} // namespace alignopt
