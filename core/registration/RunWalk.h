#pragma once

// The pixel walk that reads no masks: runs of consecutive pixels inside.

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

// The walk of the rigid-body, bilinear and 2 x 3 kernels when no mask is read.
//
// The pixels of a row that map inside the model form one run of consecutive
// columns (forEachRowRun says why). The run's points are evaluated as a batch
// straight from the row, with no per-pixel test or copy.
//
// `visit(chunk)` takes the used pixels in walk order, with the model's value
// at each one's mapped point (and its slopes, with Slopes); returns the number
// of used pixels. Every step runs at `level`.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkRuns(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Visit&& visit) {
    constexpr int32_t batch = chunkCapacity;
    const std::size_t stride = static_cast<std::size_t>(engine.gridWidth);
    const RunColumns columns(engine.gridWidth);
    ChunkVisitor<Slopes, Visit> evaluate{level, pointModel(engine), visit, {}, {}, {}};

    int64_t count = 0;
    forEachRowRun<Bilinear>(engine, m, level,
                            [&](int32_t j, const double* px, const double* py, int32_t begin, int32_t end)
                                __attribute__((always_inline)) {
                                count += end - begin;
                                const std::size_t row = static_cast<std::size_t>(j) * stride;
                                for (int32_t start = begin; start < end; start += batch)
                                    evaluate(j, row, std::min(batch, end - start), columns.columns.data() + start,
                                             columns.values.data() + start, px + start, py + start);
                            });
    return count;
}

} // namespace alignopt
