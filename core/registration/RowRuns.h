#pragma once

// What the two run walks share: the grid's rows with their mapped points and
// the run of columns inside the model, the tables of a run's columns, and the
// evaluation of one chunk.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "core/image/ImageBuffer.h"
#include "core/linalg/Matrix.h"
#include "core/registration/PixelChunk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RowPoints.h"
#include "core/sampling/PointBatch.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// Every row j of the grid in order, as `row(j, px, py, begin, end)`: px and py
// hold the mapped points of its columns, and [begin, end) is the run of
// columns whose points round inside the model.
//
// Each mapped coordinate moves along a row by repeated additions of one step,
// so it is monotone along the row (a sum never falls when a step of zero or
// more is added, never rises otherwise, and once infinite or NaN it stays so).
// Whether a coordinate rounds inside the model holds on an interval of its
// values, so the pixels of a row that map inside form one run of consecutive
// columns, found from its two ends.
//
// The points of a few rows are worked out together: each row's additions are
// one chain, each step waiting on the one before, and chains of different
// rows overlap. Every point is still the same sum of the same steps.
template <bool Bilinear, typename Row>
void forEachRowRun(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Row&& row) {
    const double m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2);
    const double m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2);
    const double m03 = Bilinear ? m(0, 3) : 0.0;
    const double m13 = Bilinear ? m(1, 3) : 0.0;
    const int32_t width = engine.gridWidth;
    const std::size_t stride = static_cast<std::size_t>(width);

    // The rows of a group lie a cache line more than a multiple of 64 bytes
    // apart: at a power-of-two distance their stores would compete for the
    // same cache sets.
    const std::size_t pitch = (stride + 7) / 8 * 8 + 8;
    ImageBuffer points(2 * rowsTogether * pitch);

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
            const double* px = at + (2 * r) * pitch;
            const double* py = at + (2 * r + 1) * pitch;
            const auto [begin, end] = insideRunAt(level, px, py, width, engine.modelWidth, engine.modelHeight);
            row(first + r, px, py, begin, end);
        }
    }
}

// A run's columns are consecutive, so its chunks point into one table of
// columns (and one of their values as doubles) rather than copying theirs.
struct RunColumns {
    std::vector<int32_t> columns;
    ImageBuffer values;

    explicit RunColumns(int32_t width) : columns(static_cast<std::size_t>(width)), values(columns.size()) {
        std::iota(columns.begin(), columns.end(), 0);
        for (int32_t k = 0; k < width; ++k) values.data()[k] = static_cast<double>(k);
    }
};

// The model's values (and slopes, with Slopes) at a chunk's points, into
// buffers of chunkCapacity, then `visit(chunk)`.
template <bool Slopes, typename Visit>
struct ChunkVisitor {
    ProcessorLevel level;
    PointModel model;
    Visit& visit;
    double value[chunkCapacity];
    double slopeX[Slopes ? chunkCapacity : 1];
    double slopeY[Slopes ? chunkCapacity : 1];

    __attribute__((always_inline)) void operator()(int32_t row, std::size_t rowStart, int32_t count,
                                                   const int32_t* column, const double* columnValue,
                                                   const double* x, const double* y) {
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
            batchValuesAndSlopesAt(level, model, x, y, count, value, slopeX, slopeY);
            chunk.slopeX = slopeX;
            chunk.slopeY = slopeY;
        } else {
            batchValuesAt(level, model, x, y, count, value);
        }
        visit(static_cast<const PixelChunk&>(chunk));
    }
};

} // namespace alignopt
