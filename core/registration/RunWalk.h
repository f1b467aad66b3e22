#pragma once

// The pixel walk that reads no masks: runs of consecutive pixels inside.

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

// The walk of the rigid-body, bilinear and 2 x 3 kernels when no mask is read.
//
// Each mapped coordinate moves along a row by repeated additions of one step,
// so it is monotone along the row (a sum never falls when a step of zero or
// more is added, never rises otherwise, and once infinite or NaN it stays so).
// Whether a coordinate rounds inside the model holds on an interval of its
// values, so the pixels of a row that map inside form one run of consecutive
// columns, found from its two ends. The run's points are evaluated as a batch
// straight from the row, with no per-pixel test or copy.
//
// The points of a few rows are worked out together: each row's additions are
// one chain, each step waiting on the one before, and chains of different
// rows overlap. Every point is still the same sum of the same steps.
//
// `visit(chunk)` takes the used pixels in walk order, with the model's value
// at each one's mapped point (and its slopes, with Slopes); returns the number
// of used pixels. Every step runs at `level`.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkRuns(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Visit&& visit) {
    constexpr int32_t batch = chunkCapacity;
    const double m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2);
    const double m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2);
    const double m03 = Bilinear ? m(0, 3) : 0.0;
    const double m13 = Bilinear ? m(1, 3) : 0.0;
    const int32_t width = engine.gridWidth;
    const int32_t modelWidth = engine.modelWidth;
    const int32_t modelHeight = engine.modelHeight;
    const std::size_t stride = static_cast<std::size_t>(width);
    const PointModel model = pointModel(engine);

    // The rows of a group lie a cache line more than a multiple of 64 bytes
    // apart: at a power-of-two distance their stores would compete for the
    // same cache sets.
    const std::size_t pitch = (stride + 7) / 8 * 8 + 8;
    ImageBuffer points(2 * rowsTogether * pitch);
    // A run's columns are consecutive, so its chunks point into one table of
    // columns rather than copying theirs.
    std::vector<int32_t> columns(stride);
    std::iota(columns.begin(), columns.end(), 0);
    ImageBuffer columnValues(stride);
    for (int32_t k = 0; k < width; ++k) columnValues.data()[k] = static_cast<double>(k);
    double value[batch];
    double slopeX[Slopes ? batch : 1];
    double slopeY[Slopes ? batch : 1];

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
            count += end - begin;
            const std::size_t row = static_cast<std::size_t>(j) * stride;
            for (int32_t start = begin; start < end; start += batch) {
                PixelChunk chunk;
                chunk.row = j;
                chunk.count = std::min(batch, end - start);
                chunk.rowStart = row;
                chunk.column = columns.data() + start;
                chunk.columnValue = columnValues.data() + start;
                chunk.x = px + start;
                chunk.y = py + start;
                chunk.value = value;
                if constexpr (Slopes) {
                    batchValuesAndSlopesAt(level, model, chunk.x, chunk.y, chunk.count, value, slopeX, slopeY);
                    chunk.slopeX = slopeX;
                    chunk.slopeY = slopeY;
                } else {
                    batchValuesAt(level, model, chunk.x, chunk.y, chunk.count, value);
                }
                visit(static_cast<const PixelChunk&>(chunk));
            }
        }
    }
    return count;
}

} // namespace alignopt
