#pragma once

// The pixel walk that reads the masks, by runs: the masked walk's chunks at
// close to the run walk's speed.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/registration/PixelChunk.h"
#include "core/registration/PointQueue.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RowRuns.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// The walk of the rigid-body, bilinear and 2 x 3 kernels when the masks are
// read, at close to the speed of the run walk (RunWalk.h): each row's pixels
// inside the model are found as one run, as there (forEachRowRun); only the run's pixels are then tested
// against both masks (a NaN mask product counts), and those that pass are
// gathered into chunks. The chunks are those of walkMaskedGrid (MaskedWalk.h),
// which tests every pixel of the grid: a row's used pixels in order, cut
// after every chunkCapacity of them and at the row's end, with the same
// points, so the kernels see the same bits through either walk. Every step
// runs at `level`.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkMaskedRuns(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Visit&& visit) {
    constexpr int32_t batch = chunkCapacity;
    const int32_t modelWidth = engine.modelWidth;
    const int32_t modelHeight = engine.modelHeight;
    const std::size_t stride = static_cast<std::size_t>(engine.gridWidth);
    const std::size_t modelStride = static_cast<std::size_t>(modelWidth);
    const double* modelMask = engine.modelMask.data();
    const double* gridMask = engine.gridMask.data();
    // Runs whose every pixel passes point into the row's points and the
    // tables of columns, as walkRuns' do; the others are gathered here.
    const RunColumns columns(engine.gridWidth);
    ChunkVisitor<Slopes, Visit> evaluate{level, pointModel(engine), visit, {}, {}, {}};
    int32_t column[batch];
    double columnValue[batch];
    double x[batch];
    double y[batch];

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
    forEachRowRun<Bilinear>(engine, m, level, [&](int32_t j, const double* px, const double* py, int32_t begin,
                                                  int32_t end) __attribute__((always_inline)) {
        const std::size_t row = static_cast<std::size_t>(j) * stride;
        // Most runs pass whole: one branch-free test, and the chunks then
        // point straight into the row as walkRuns' do.
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
                evaluate(j, row, std::min(batch, end - start), columns.columns.data() + start,
                         columns.values.data() + start, px + start, py + start);
            return;
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
                evaluate(j, row, used, column, columnValue, x, y);
                used = 0;
            }
        }
        if (used > 0) evaluate(j, row, used, column, columnValue, x, y);
    });
    return count;
}

} // namespace alignopt
