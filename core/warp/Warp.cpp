#include "core/warp/Warp.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "core/image/MirrorFold.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineImage.h"
#include "core/registration/PixelRounding.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

namespace {

using Weights = std::array<double, 4>;

inline bool insideImage(double x, double y, int32_t width, int32_t height) {
    int32_t px = 0;
    int32_t py = 0;
    return nearestPixelInside(x, y, width, height, px, py);
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
        // Matrices that keep y constant along a row (no shear or rotation)
        // reuse the row's weights: equal bits, equal weights.
        if (std::bit_cast<uint64_t>(y) != yBits_) {
            yBits_ = std::bit_cast<uint64_t>(y);
            yBase_ = splineBase(y);
            cubicWeights(y - yBase_, wy_);
        }
        const int32_t xBase = splineBase(x);
        Weights wx;
        cubicWeights(x - xBase, wx);
        if (xBase >= 1 && xBase <= width_ - 3 && yBase_ >= 1 && yBase_ <= height_ - 3) {
            // Tap (k, j) is k rows above and j columns left of (base + 2, base + 2).
            const double* centre = coefficients_ + (static_cast<std::ptrdiff_t>(yBase_) + 2) * width_ + (xBase + 2);
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                const double* row = centre - k * static_cast<std::ptrdiff_t>(width_);
                double r = 0.0;
                for (int j = 0; j < 4; ++j) r += row[-j] * wx[j];
                sum += r * wy_[k];
            }
            return sum;
        }
        engine_.sampleX = x;
        engine_.sampleY = y;
        engine_.computeXIndices();
        engine_.computeYOffsets();
        engine_.xWeights = wx;
        engine_.yWeights = wy_;
        return engine_.interpolate();
    }

private:
    RegistrationEngine& engine_;
    const double* coefficients_;
    int32_t width_;
    int32_t height_;
    uint64_t yBits_ = std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN()); // no inside y has these bits
    int32_t yBase_ = 0;
    Weights wy_{};
};

// Positions advance by additions along a row and down the rows, as the
// results are defined; recomputing them per pixel would change the last bits.
void warpAffine(RegistrationEngine& engine, const Matrix& m, double* output) {
    const int32_t width = engine.gridWidth;
    const int32_t height = engine.gridHeight;
    PointSampler sampler(engine);
    double a = m(0, 0);
    double b = m(1, 0);
    for (int32_t y = 0; y < height; ++y) {
        double* out = output + static_cast<std::ptrdiff_t>(y) * width;
        double xp = a;
        double yp = b;
        for (int32_t x = 0; x < width; ++x) {
            out[x] = insideImage(xp, yp, engine.modelWidth, engine.modelHeight) ? roundToSingle(sampler.at(xp, yp))
                                                                                 : 0.0;
            xp += m(0, 1);
            yp += m(1, 1);
        }
        a += m(0, 2);
        b += m(1, 2);
    }
}

// As the affine loop, with the x.y term carried by two per-row accumulators.
void warpBilinear(RegistrationEngine& engine, const Matrix& m, double* output) {
    const int32_t width = engine.gridWidth;
    const int32_t height = engine.gridHeight;
    PointSampler sampler(engine);
    double a = m(0, 0);
    double b = m(1, 0);
    double sx = 0.0;
    double sy = 0.0;
    for (int32_t y = 0; y < height; ++y) {
        double* out = output + static_cast<std::ptrdiff_t>(y) * width;
        const double dx = sx + m(0, 1); // the bracket is summed before it is added
        const double dy = sy + m(1, 1);
        double xp = a;
        double yp = b;
        for (int32_t x = 0; x < width; ++x) {
            out[x] = insideImage(xp, yp, engine.modelWidth, engine.modelHeight) ? roundToSingle(sampler.at(xp, yp))
                                                                                 : 0.0;
            xp += dx;
            yp += dy;
        }
        a += m(0, 2);
        sx += m(0, 3);
        b += m(1, 2);
        sy += m(1, 3);
    }
}

// floor of a translation component as an integer base. Only called once some
// pixel is inside, which bounds the component far below the clamp; the clamp
// just keeps the conversion defined.
int64_t integerBase(double floorValue) {
    constexpr double limit = 4611686018427387904.0; // 2^62
    return static_cast<int64_t>(std::clamp(floorValue, -limit, limit));
}

// Every pixel shares the translation's fractions, so the weights are made
// once. The taps come from floor(t) + x and floor(t) + y, the same integer
// base as the weights: the accumulated coordinate t + x can round up to the
// next integer when the fraction is within rounding of 1, and taking the taps
// from it would read the spline one pixel off. Inside or outside is still
// decided by the accumulated coordinate.
void warpTranslation(RegistrationEngine& engine, const Matrix& m, double* output) {
    const int32_t width = engine.modelWidth;
    const int32_t height = engine.modelHeight;
    const double* c = engine.modelCoefficients.data();
    const double tx = m(0, 0);
    const double ty = m(1, 0);
    const double floorX = std::floor(tx);
    const double floorY = std::floor(ty);
    Weights wx;
    Weights wy;
    cubicWeights(tx - floorX, wx);
    cubicWeights(ty - floorY, wy);

    // The columns inside are the same in every row, and they are contiguous:
    // x' only grows along a row, and so does its nearest pixel.
    int32_t firstInside = width;
    int32_t endInside = width;
    double xp = tx;
    for (int32_t x = 0; x < width; ++x) {
        int32_t px = 0;
        if (nearestPixel(xp, px) && px >= 0 && px < width) {
            if (firstInside == width) firstInside = x;
            endInside = x + 1;
        }
        xp += 1.0;
    }
    if (firstInside == width) return; // the output is already all 0.0

    // Columns whose four taps stay inside the row read it directly; the few
    // at the edges take folded taps, made once here.
    const int64_t baseX = integerBase(floorX);
    const int32_t interiorBegin = static_cast<int32_t>(std::clamp<int64_t>(1 - baseX, firstInside, endInside));
    const int32_t interiorEnd =
        static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(width) - 2 - baseX, interiorBegin, endInside));
    const int32_t leftCount = interiorBegin - firstInside;
    const int32_t rightCount = endInside - interiorEnd;
    // At most three columns on either side need folding, unless the image
    // is narrower than the kernel.
    std::vector<std::array<int32_t, 4>> edgeTaps(static_cast<std::size_t>(leftCount + rightCount));
    auto edgeColumn = [&](int32_t i) { return i < leftCount ? firstInside + i : interiorEnd + (i - leftCount); };
    for (int32_t i = 0; i < leftCount + rightCount; ++i) {
        const int64_t first = baseX + edgeColumn(i) + 2;
        for (int k = 0; k < 4; ++k) edgeTaps[static_cast<std::size_t>(i)][k] = foldMirror(first - k, width);
    }

    const int64_t baseY = integerBase(floorY);
    double yp = ty;
    for (int32_t y = 0; y < height; ++y, yp += 1.0) {
        int32_t py = 0;
        if (!(nearestPixel(yp, py) && py >= 0 && py < height)) continue; // row stays 0.0
        std::array<std::ptrdiff_t, 4> rowOffsets;
        for (int k = 0; k < 4; ++k)
            rowOffsets[k] = static_cast<std::ptrdiff_t>(foldMirror(baseY + y + 2 - k, height)) * width;
        double* out = output + static_cast<std::ptrdiff_t>(y) * width;

        for (int32_t i = 0; i < leftCount + rightCount; ++i) {
            const auto& taps = edgeTaps[static_cast<std::size_t>(i)];
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                double r = 0.0;
                for (int j = 0; j < 4; ++j) r += c[rowOffsets[k] + taps[j]] * wx[j];
                sum += r * wy[k];
            }
            out[edgeColumn(i)] = roundToSingle(sum);
        }

        // Interior: tap j of column x is at base + x + 2 - j within each row.
        std::array<std::ptrdiff_t, 4> rowStarts;
        for (int k = 0; k < 4; ++k) rowStarts[k] = rowOffsets[k] + static_cast<std::ptrdiff_t>(baseX + 2);
        for (int32_t x = interiorBegin; x < interiorEnd; ++x) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                const double* p = c + (rowStarts[k] + x);
                double r = 0.0;
                for (int j = 0; j < 4; ++j) r += p[-j] * wx[j];
                sum += r * wy[k];
            }
            out[x] = roundToSingle(sum);
        }
    }
}

// Twice the size; the folding itself works in 64 bits from the size, so the
// period only saturates, for lines longer than 2^30, instead of overflowing.
int32_t mirrorPeriod(int32_t size) {
    return static_cast<int32_t>(std::min<int64_t>(2 * static_cast<int64_t>(size), std::numeric_limits<int32_t>::max()));
}

} // namespace

std::vector<double> warpImage(Matrix matrix, const double* pixels, int32_t width, int32_t height) {
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
    if (width == 0 || height == 0) return {}; // nothing to resample; the filters need a sample per line

    SplineImage image(pixels, width, height, family, false);
    image.computeCoefficients();

    RegistrationEngine engine(image, family);
    engine.modelCoefficients = image.coefficients;
    engine.modelWidth = width;
    engine.modelHeight = height;
    engine.modelMirrorWidth = mirrorPeriod(width);
    engine.modelMirrorHeight = mirrorPeriod(height);
    engine.gridWidth = width;
    engine.gridHeight = height;

    // Zero-filled: every pixel that is not evaluated is exactly 0.0.
    std::vector<double> output(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0.0);
    engine.gridSamples = output;
    switch (family) {
    case TransformationType::Translation: warpTranslation(engine, matrix, output.data()); break;
    case TransformationType::Bilinear: warpBilinear(engine, matrix, output.data()); break;
    default: warpAffine(engine, matrix, output.data()); break;
    }
    return output;
}

} // namespace alignopt
