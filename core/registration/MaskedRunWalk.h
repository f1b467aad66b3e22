#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/image/ImageBuffer.h"
#include "core/linalg/Matrix.h"
#include "core/registration/PixelChunk.h"
#include "core/registration/PixelRounding.h"
#include "core/registration/PointBatch.h"
#include "core/registration/PointQueue.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RowPoints.h"

namespace alignopt {

// The walk of the rigid-body, bilinear and 2 x 3 kernels when the masks are
// read, at close to the speed of the run walk (RunWalk.h): the mapped points
// of a few rows are worked out together and each row's pixels inside the
// model found as one run, as there; only the run's pixels are then tested
// against both masks (a NaN mask product counts), and those that pass are
// gathered into chunks. The chunks are those of walkMaskedGrid (GridWalk.h),
// which tests every pixel of the grid: a row's used pixels in order, cut
// after every chunkCapacity of them and at the row's end, with the same
// points, so the kernels see the same bits through either walk.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkMaskedRuns(const RegistrationEngine& engine, const Matrix& m, Visit&& visit) {
    constexpr int32_t batch = chunkCapacity;
    const double m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2);
    const double m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2);
    const double m03 = Bilinear ? m(0, 3) : 0.0;
    const double m13 = Bilinear ? m(1, 3) : 0.0;
    const int32_t width = engine.gridWidth;
    const int32_t modelWidth = engine.modelWidth;
    const int32_t modelHeight = engine.modelHeight;
    const std::size_t stride = static_cast<std::size_t>(width);
    const std::size_t modelStride = static_cast<std::size_t>(modelWidth);
    const double* modelMask = engine.modelMask.data();
    const double* gridMask = engine.gridMask.data();
    const PointModel model = pointModel(engine);

    // Laid out as in walkRuns, for the same reason.
    const std::size_t pitch = (stride + 7) / 8 * 8 + 8;
    ImageBuffer points(2 * rowsTogether * pitch);
    int32_t column[batch];
    double columnValue[batch];
    double x[batch];
    double y[batch];
    double value[batch];
    double slopeX[Slopes ? batch : 1];
    double slopeY[Slopes ? batch : 1];

    const auto emit = [&](int32_t row, std::size_t rowStart, int32_t count) __attribute__((always_inline)) {
        PixelChunk chunk;
        chunk.row = row;
        chunk.count = count;
        chunk.rowStart = rowStart;
        chunk.column = column;
        chunk.columnValue = columnValue;
        chunk.x = x;
        chunk.y = y;
        chunk.value = value;
        if constexpr (Slopes) {
            batchValuesAndSlopes(model, x, y, count, value, slopeX, slopeY);
            chunk.slopeX = slopeX;
            chunk.slopeY = slopeY;
        } else {
            batchValues(model, x, y, count, value);
        }
        visit(static_cast<const PixelChunk&>(chunk));
    };

    int64_t count = 0;
    double rowX = m00;
    double rowY = m10;
    double alpha = 0.0;
    double beta = 0.0;
    for (int32_t first = 0; first < engine.gridHeight; first += rowsTogether) {
        const int32_t rows = std::min(rowsTogether, engine.gridHeight - first);
        double startX[rowsTogether] = {}, startY[rowsTogether] = {};
        double stepX[rowsTogether] = {}, stepY[rowsTogether] = {};
        for (int32_t r = 0; r < rows; ++r) {
            startX[r] = rowX;
            startY[r] = rowY;
            stepX[r] = Bilinear ? alpha + m01 : m01;
            stepY[r] = Bilinear ? beta + m11 : m11;
            rowX += m02;
            rowY += m12;
            if constexpr (Bilinear) {
                alpha += m03;
                beta += m13;
            }
        }
        fillRowPoints(points.data(), pitch, stride, startX, startY, stepX, stepY);
        const double* const at = points.data();

        for (int32_t r = 0; r < rows; ++r) {
            const int32_t j = first + r;
            const double* px = at + (2 * r) * pitch;
            const double* py = at + (2 * r + 1) * pitch;
            const auto [begin, end] = insideRun(px, py, width, modelWidth, modelHeight);
            const std::size_t row = static_cast<std::size_t>(j) * stride;
            int32_t used = 0;
            for (int32_t k = begin; k < end; ++k) {
                // The run's points round inside the model, so their nearest
                // pixels fit 32 bits and the conversion's truncation is
                // nearestPixel's trunc (a library call on the baseline
                // instruction set, and most of this loop's time if used);
                // the unsigned test only keeps the reads in bounds.
                const double vx = px[k];
                const double vy = py[k];
                const auto ix = static_cast<int32_t>(vx >= 0.0 ? vx + 0.5 : vx - 0.5);
                const auto iy = static_cast<int32_t>(vy >= 0.0 ? vy + 0.5 : vy - 0.5);
                if (static_cast<uint32_t>(ix) >= static_cast<uint32_t>(modelWidth) ||
                    static_cast<uint32_t>(iy) >= static_cast<uint32_t>(modelHeight))
                    continue;
                if (!(modelMask[static_cast<std::size_t>(iy) * modelStride + static_cast<std::size_t>(ix)] *
                          gridMask[row + static_cast<std::size_t>(k)] !=
                      0.0))
                    continue;
                column[used] = k;
                columnValue[used] = static_cast<double>(k);
                x[used] = px[k];
                y[used] = py[k];
                ++count;
                if (++used == batch) {
                    emit(j, row, used);
                    used = 0;
                }
            }
            if (used > 0) emit(j, row, used);
        }
    }
    return count;
}

} // namespace alignopt
