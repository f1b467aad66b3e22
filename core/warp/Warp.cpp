// Resamples an image through a matrix with the sampling of core/sampling:
// the point batch for the 2 x 3 and 2 x 4 shapes, the translation rows for
// the 2 x 1 shape.
#include "core/warp/Warp.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineImage.h"
#include "core/sampling/PixelRounding.h"
#include "core/sampling/PointBatch.h"
#include "core/sampling/TranslationRows.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

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

// One row of a tile: the positions inside the model are collected, evaluated
// as a batch, and written rounded to single precision; the others get 0.
class TileRow {
public:
    TileRow(const PointModel& model, ProcessorLevel level) : model_(model), level_(level) {}

    // Columns x0 .. x1-1 of `out`, starting at (xp, yp) and advancing by
    // (dx, dy) per column; xp and yp are left at the position after x1-1.
    void fill(double* out, int32_t x0, int32_t x1, double& xp, double& yp, double dx, double dy) {
        int32_t n = 0;
        for (int32_t x = x0; x < x1; ++x) {
            if (roundsInside(xp, yp, model_.width, model_.height)) {
                xs_[n] = xp;
                ys_[n] = yp;
                columns_[n++] = x;
            }
            out[x] = 0.0;
            xp += dx;
            yp += dy;
        }
        batchValuesAt(level_, model_, xs_, ys_, n, values_);
        for (int32_t p = 0; p < n; ++p) out[columns_[p]] = roundToSingle(values_[p]);
    }

private:
    PointModel model_;
    ProcessorLevel level_;
    double xs_[tileColumns];
    double ys_[tileColumns];
    double values_[tileColumns];
    int32_t columns_[tileColumns];
};

// The output has the model's size.
void warpGeneral(const PointModel& model, const Matrix& m, bool bilinear, double* output) {
    const int32_t width = model.width;
    const int32_t height = model.height;
    TileRow tileRow(model, supportedProcessorLevel());
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
                tileRow.fill(out, x0, x1, xs[i], ys[i], xSteps[i], ySteps[i]);
            }
        }
    }
}

// Rows outside the model and the columns outside it are zeros; the rest is
// the model at (x + tx, y + ty), rounded to single precision.
void warpTranslation(std::span<const double> coefficients, int32_t width, int32_t height, const Matrix& m,
                     double* output) {
    TranslationRows model(coefficients, width, height, m(0, 0), m(1, 0), width);
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

    // Every loop writes every pixel of the output.
    const PointModel model{image.coefficients.data(), width, height};
    switch (family) {
    case TransformationType::Translation: warpTranslation(image.coefficients, width, height, matrix, output); break;
    case TransformationType::Bilinear: warpGeneral(model, matrix, true, output); break;
    default: warpGeneral(model, matrix, false, output); break;
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
