#include "core/warp/Warp.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/MirrorFold.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineImage.h"
#include "core/registration/CubicWeightRule.h"
#include "core/registration/InlineEvaluation.h"
#include "core/registration/PixelRounding.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/TranslationRows.h"

namespace alignopt {

namespace {

using Weights = std::array<double, 4>;

// The 4 x 4 sum of interpolate() for taps that need no folding: rk points at
// tap (k, 0), and tap (k, j) lies j columns to its left. Each row sum and the
// outer sum start at 0 and add in k, j order as there; written out so the
// four row sums proceed side by side in registers (the loop form ran half as
// fast).
inline double interiorSum(const double* r0, const double* r1, const double* r2, const double* r3, const Weights& wx,
                          const Weights& wy) {
    double s0 = 0.0 + r0[0] * wx[0];
    double s1 = 0.0 + r1[0] * wx[0];
    double s2 = 0.0 + r2[0] * wx[0];
    double s3 = 0.0 + r3[0] * wx[0];
    s0 += r0[-1] * wx[1];
    s1 += r1[-1] * wx[1];
    s2 += r2[-1] * wx[1];
    s3 += r3[-1] * wx[1];
    s0 += r0[-2] * wx[2];
    s1 += r1[-2] * wx[2];
    s2 += r2[-2] * wx[2];
    s3 += r3[-2] * wx[2];
    s0 += r0[-3] * wx[3];
    s1 += r1[-3] * wx[3];
    s2 += r2[-3] * wx[3];
    s3 += r3[-3] * wx[3];
    double sum = 0.0 + s0 * wy[0];
    sum += s1 * wy[1];
    sum += s2 * wy[2];
    sum += s3 * wy[3];
    return sum;
}

// nearestPixelInside without forming the pixel: for v >= 0 the pixel
// trunc(v + 0.5) is below `size` exactly when v + 0.5 is, and for v < 0
// trunc(v - 0.5) is 0 exactly when v - 0.5 > -1. NaN, infinities and values
// beyond 32 bits fail these comparisons as they fail there.
inline bool insideLine(double v, int32_t size) { return v >= 0.0 ? v + 0.5 < size : v - 0.5 > -1.0; }

inline bool insideImage(double x, double y, int32_t width, int32_t height) {
    return insideLine(x, width) && insideLine(y, height);
}

// The model spline at positions known to be inside, for the affine and
// bilinear loops: the general calling sequence of the engine, with the fold
// skipped when all sixteen taps lie inside the image. Both paths form the same
// products and add them in the same order, so they give the same bits.
class PointSampler {
public:
    explicit PointSampler(RegistrationEngine& engine)
        : engine_(engine), coefficients_(engine.modelCoefficients.data()), width_(engine.modelWidth),
          height_(engine.modelHeight) {}

    double at(double x, double y) {
        const int32_t xBase = splineBase(x);
        const int32_t yBase = splineBase(y);
        Weights wx;
        Weights wy;
        inlineEvaluation::weightsXY(x - xBase, y - yBase, wx, wy);
        if (xBase >= 1 && xBase <= width_ - 3 && yBase >= 1 && yBase <= height_ - 3) {
            // Tap (k, j) is k rows above and j columns left of (base + 2, base + 2).
            const double* r0 = coefficients_ + (static_cast<std::ptrdiff_t>(yBase) + 2) * width_ + (xBase + 2);
            const double* r1 = r0 - width_;
            const double* r2 = r1 - width_;
            return interiorSum(r0, r1, r2, r2 - width_, wx, wy);
        }
        return folded(x, y, wx, wy);
    }

private:
    // Taps beyond an edge: the engine folds them.
    double folded(double x, double y, const Weights& wx, const Weights& wy) {
        engine_.sampleX = x;
        engine_.sampleY = y;
        engine_.computeXIndices();
        engine_.computeYOffsets();
        engine_.xWeights = wx;
        engine_.yWeights = wy;
        return engine_.interpolate();
    }

    RegistrationEngine& engine_;
    const double* coefficients_;
    int32_t width_;
    int32_t height_;
};

// The affine and bilinear loops. Positions advance by additions along a row
// and down the rows, as the results are defined; recomputing them per pixel
// would change the last bits. The bilinear x.y term is carried by two
// per-row accumulators sx, sy that change each row's step.
//
// The output is walked in tiles of tileRows x tileColumns: a tile reads a
// compact patch of the model, where a whole output row of a rotation sweeps
// across many model rows and keeps missing the caches (half as fast on large
// images). Each row's position still takes the same additions in the same
// order, paused at a tile's right edge and resumed at the next tile.
constexpr int32_t tileRows = 32;
constexpr int32_t tileColumns = 64;

void warpGeneral(RegistrationEngine& engine, const Matrix& m, bool bilinear, double* output) {
    const int32_t width = engine.gridWidth;
    const int32_t height = engine.gridHeight;
    const int32_t modelWidth = engine.modelWidth;
    const int32_t modelHeight = engine.modelHeight;
    PointSampler sampler(engine);
    double a = m(0, 0);
    double b = m(1, 0);
    double sx = 0.0;
    double sy = 0.0;
    std::array<double, tileRows> xs;
    std::array<double, tileRows> ys;
    std::array<double, tileRows> xSteps;
    std::array<double, tileRows> ySteps;
    for (int32_t y0 = 0; y0 < height; y0 += tileRows) {
        const int32_t rows = std::min(tileRows, height - y0);
        for (int32_t i = 0; i < rows; ++i) {
            xs[i] = a;
            ys[i] = b;
            if (bilinear) {
                xSteps[i] = sx + m(0, 1); // the bracket is summed before it is added
                ySteps[i] = sy + m(1, 1);
                a += m(0, 2);
                sx += m(0, 3);
                b += m(1, 2);
                sy += m(1, 3);
            } else {
                xSteps[i] = m(0, 1);
                ySteps[i] = m(1, 1);
                a += m(0, 2);
                b += m(1, 2);
            }
        }
        for (int32_t x0 = 0; x0 < width; x0 += tileColumns) {
            const int32_t x1 = std::min(width, x0 + tileColumns);
            for (int32_t i = 0; i < rows; ++i) {
                double* out = output + static_cast<std::ptrdiff_t>(y0 + i) * width;
                double xp = xs[i];
                double yp = ys[i];
                const double dx = xSteps[i];
                const double dy = ySteps[i];
                for (int32_t x = x0; x < x1; ++x) {
                    out[x] = insideImage(xp, yp, modelWidth, modelHeight) ? roundToSingle(sampler.at(xp, yp)) : 0.0;
                    xp += dx;
                    yp += dy;
                }
                xs[i] = xp;
                ys[i] = yp;
            }
        }
    }
}

// Rows outside the model and the columns outside it are zeros; the rest is
// the model at (x + tx, y + ty), rounded to single precision.
void warpTranslation(RegistrationEngine& engine, const Matrix& m, double* output) {
    const int32_t width = engine.modelWidth;
    const int32_t height = engine.modelHeight;
    TranslationRows model(engine.modelCoefficients, width, height, m(0, 0), m(1, 0), width);
    const int32_t first = model.firstColumn();
    const int32_t end = model.endColumn();
    double yp = m(1, 0);
    for (int32_t y = 0; y < height; ++y, yp += 1.0) {
        double* out = output + static_cast<std::ptrdiff_t>(y) * width;
        if (first == end || !model.rowInside(yp)) {
            std::fill_n(out, width, 0.0);
            continue;
        }
        std::fill_n(out, first, 0.0);
        model.forRow(y, [out](int32_t x, double value) { out[x] = roundToSingle(value); });
        std::fill(out + end, out + width, 0.0);
    }
}

// Twice the size; the folding itself works in 64 bits from the size, so the
// period only saturates, for lines longer than 2^30, instead of overflowing.
int32_t mirrorPeriod(int32_t size) {
    return static_cast<int32_t>(std::min<int64_t>(2 * static_cast<int64_t>(size), std::numeric_limits<int32_t>::max()));
}

} // namespace

namespace {

// The checks of both entry points, before anything is allocated.
TransformationType checkedFamily(const Matrix& matrix, int32_t width, int32_t height) {
    TransformationType family;
    switch (matrix.columns) {
    case 1: family = TransformationType::Translation; break;
    case 3: family = TransformationType::Affine; break;
    case 4: family = TransformationType::Bilinear; break;
    default: throw std::runtime_error("Invalid transformation");
    }
    // The loops read two rows; a matrix that does not hold them is refused
    // the same way instead of being read out of bounds.
    if (matrix.rows < 2 || matrix.values.size() < 2 * static_cast<std::size_t>(matrix.columns))
        throw std::runtime_error("Invalid transformation");
    if (width < 0 || height < 0 ||
        static_cast<int64_t>(width) * height > std::numeric_limits<int32_t>::max())
        throw std::invalid_argument("Invalid image size");
    return family;
}

void warpChecked(TransformationType family, const Matrix& matrix, const double* pixels, int32_t width,
                 int32_t height, double* output) {
    // The pixels are only read by the prefilter, in place: the image record
    // keeps no copy of them, just their coefficients.
    SplineImage image(pixels, 0, 0, family, false);
    image.width = width;
    image.height = height;
    image.coefficients.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    prefilterImage(pixels, image.coefficients.data(), width, height, SplineDegree::Cubic);

    RegistrationEngine engine(image, family);
    engine.modelCoefficients = image.coefficients;
    engine.modelWidth = width;
    engine.modelHeight = height;
    engine.modelMirrorWidth = mirrorPeriod(width);
    engine.modelMirrorHeight = mirrorPeriod(height);
    engine.gridWidth = width;
    engine.gridHeight = height;
    engine.gridSamples = std::span<const double>(output, static_cast<std::size_t>(width) * height);
    // Every loop writes every pixel of the output.
    switch (family) {
    case TransformationType::Translation: warpTranslation(engine, matrix, output); break;
    case TransformationType::Bilinear: warpGeneral(engine, matrix, true, output); break;
    default: warpGeneral(engine, matrix, false, output); break;
    }
}

} // namespace

std::vector<double> warpImage(Matrix matrix, const double* pixels, int32_t width, int32_t height) {
    const TransformationType family = checkedFamily(matrix, width, height);
    if (width == 0 || height == 0) return {}; // nothing to resample; the filters need a sample per line
    std::vector<double> output(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    warpChecked(family, matrix, pixels, width, height, output.data());
    return output;
}

void warpImageInto(Matrix matrix, const double* pixels, int32_t width, int32_t height, double* output) {
    const TransformationType family = checkedFamily(matrix, width, height);
    if (width == 0 || height == 0) return;
    warpChecked(family, matrix, pixels, width, height, output);
}

} // namespace alignopt
