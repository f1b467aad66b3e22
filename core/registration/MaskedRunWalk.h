#pragma once

// The pixel walk that reads the masks, by runs: the masked walk's chunks at
// close to the run walk's speed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "core/image/ImageBuffer.h"
#include "core/linalg/Matrix.h"
#include "core/registration/PixelChunk.h"
#include "core/registration/PointQueue.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RowPoints.h"
#include "core/sampling/PixelRounding.h"
#include "core/sampling/PointBatch.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// The walk of the rigid-body, bilinear and 2 x 3 kernels when the masks are
// read, at close to the speed of the run walk (RunWalk.h): the mapped points
// of a few rows are worked out together and each row's pixels inside the
// model found as one run, as there; only the run's pixels are then tested
// against both masks (a NaN mask product counts), and those that pass are
// gathered into chunks. The chunks are those of walkMaskedGrid (MaskedWalk.h),
// which tests every pixel of the grid: a row's used pixels in order, cut
// after every chunkCapacity of them and at the row's end, with the same
// points, so the kernels see the same bits through either walk. Every step
// runs at `level`.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkMaskedRuns(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Visit&& visit) {
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
    // For runs whose every pixel passes: their chunks point into the points
    // and into tables of the columns, as in walkRuns.
    std::vector<int32_t> columns(stride);
    std::iota(columns.begin(), columns.end(), 0);
    ImageBuffer columnValues(stride);
    for (int32_t k = 0; k < width; ++k) columnValues.data()[k] = static_cast<double>(k);
    int32_t column[batch];
    double columnValue[batch];
    double x[batch];
    double y[batch];
    double value[batch];
    double slopeX[Slopes ? batch : 1];
    double slopeY[Slopes ? batch : 1];

    const auto emitFrom = [&](int32_t row, std::size_t rowStart, int32_t count, const int32_t* columnsAt,
                              const double* columnValuesAt, const double* xAt, const double* yAt)
                              __attribute__((always_inline)) {
        PixelChunk chunk;
        chunk.row = row;
        chunk.count = count;
        chunk.rowStart = rowStart;
        chunk.column = columnsAt;
        chunk.columnValue = columnValuesAt;
        chunk.x = xAt;
        chunk.y = yAt;
        chunk.value = value;
        if constexpr (Slopes) {
            batchValuesAndSlopesAt(level, model, xAt, yAt, count, value, slopeX, slopeY);
            chunk.slopeX = slopeX;
            chunk.slopeY = slopeY;
        } else {
            batchValuesAt(level, model, xAt, yAt, count, value);
        }
        visit(static_cast<const PixelChunk&>(chunk));
    };
    const auto emit = [&](int32_t row, std::size_t rowStart, int32_t count) __attribute__((always_inline)) {
        emitFrom(row, rowStart, count, column, columnValue, x, y);
    };
    // The model pixel of a run's point: the run's points round inside the
    // model, so their nearest pixels fit 32 bits and the conversion's
    // truncation is nearestPixel's trunc (a library call on the baseline
    // instruction set, and most of the loops' time if used).
    const auto modelPixel = [&](double vx, double vy, int32_t& ix, int32_t& iy) __attribute__((always_inline)) {
        ix = static_cast<int32_t>(vx >= 0.0 ? vx + 0.5 : vx - 0.5);
        iy = static_cast<int32_t>(vy >= 0.0 ? vy + 0.5 : vy - 0.5);
        // Only keeps the reads in bounds.
        return static_cast<uint32_t>(ix) < static_cast<uint32_t>(modelWidth) &&
               static_cast<uint32_t>(iy) < static_cast<uint32_t>(modelHeight);
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
        fillRowPointsAt(level, points.data(), pitch, stride, startX, startY, stepX, stepY);
        const double* const at = points.data();

        for (int32_t r = 0; r < rows; ++r) {
            const int32_t j = first + r;
            const double* px = at + (2 * r) * pitch;
            const double* py = at + (2 * r + 1) * pitch;
            const auto [begin, end] = insideRunAt(level, px, py, width, modelWidth, modelHeight);
            const std::size_t row = static_cast<std::size_t>(j) * stride;
            // Most runs pass whole: one branch-free test, and the chunks
            // then point straight into the row as walkRuns' do.
            bool whole = true;
            for (int32_t k = begin; k < end; ++k) {
                int32_t ix = 0;
                int32_t iy = 0;
                const bool inside = modelPixel(px[k], py[k], ix, iy);
                const double product =
                    inside ? modelMask[static_cast<std::size_t>(iy) * modelStride + static_cast<std::size_t>(ix)] *
                                 gridMask[row + static_cast<std::size_t>(k)]
                           : 0.0;
                whole = whole & (product != 0.0);
            }
            if (whole) {
                count += end - begin;
                for (int32_t start = begin; start < end; start += batch)
                    emitFrom(j, row, std::min(batch, end - start), columns.data() + start,
                             columnValues.data() + start, px + start, py + start);
                continue;
            }
            int32_t used = 0;
            for (int32_t k = begin; k < end; ++k) {
                int32_t ix = 0;
                int32_t iy = 0;
                if (!modelPixel(px[k], py[k], ix, iy)) continue;
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
