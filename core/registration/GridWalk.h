#pragma once

#include <cstddef>
#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/registration/MaskReads.h"
#include "core/registration/MaskedRunWalk.h"
#include "core/registration/PixelChunk.h"
#include "core/registration/PixelRounding.h"
#include "core/registration/PointQueue.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RunWalk.h"

namespace alignopt {

// The pixel walk of the rigid-body, bilinear and 2 x 3 kernels when the masks
// are read: grid pixels row by row. The mapped position is advanced by
// additions: the row start gains the y column of `m` after every row and the
// position gains the x column after every pixel, so pixel (0, 0) maps to the
// translation column. For a 2 x 4 matrix the per-pixel increment also gains
// the xy column after every row, so pixel (k, j) lands on
// m00 + m01*k + m02*j + m03*k*j.
// `visit(chunk)` takes the pixels that lie in the model and pass both masks
// (a NaN mask product counts), in walk order, with the model's value there
// (and its slopes, with Slopes); returns their number. The pixels of a row
// are queued and evaluated in batches.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkMaskedGrid(const RegistrationEngine& engine, const Matrix& m, Visit&& visit) {
    const double m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2);
    const double m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2);
    const double m03 = Bilinear ? m(0, 3) : 0.0;
    const double m13 = Bilinear ? m(1, 3) : 0.0;
    const std::size_t modelStride = static_cast<std::size_t>(engine.modelWidth);
    int64_t count = 0;
    std::size_t i = 0;
    double rowX = m00;
    double rowY = m10;
    double alpha = 0.0;
    double beta = 0.0;
    int32_t j = 0;
    const auto inRow = [&](PixelChunk& chunk) __attribute__((always_inline)) {
        chunk.row = j;
        chunk.rowStart = static_cast<std::size_t>(j) * static_cast<std::size_t>(engine.gridWidth);
        visit(static_cast<const PixelChunk&>(chunk));
    };
    PointQueue<Slopes> queue(pointModel(engine));
    for (; j < engine.gridHeight; ++j) {
        double stepX = m01;
        double stepY = m11;
        if constexpr (Bilinear) {
            stepX = alpha + m01;
            stepY = beta + m11;
        }
        double x = rowX;
        double y = rowY;
        for (int32_t k = 0; k < engine.gridWidth; ++k, ++i) {
            int32_t px = 0;
            int32_t py = 0;
            if (nearestPixelInside(x, y, engine.modelWidth, engine.modelHeight, px, py) &&
                engine.modelMask[static_cast<std::size_t>(py) * modelStride + static_cast<std::size_t>(px)] *
                        engine.gridMask[i] !=
                    0.0) {
                ++count;
                queue.push(k, x, y, inRow);
            }
            x += stepX;
            y += stepY;
        }
        queue.flush(inRow); // `inRow` reads the row from j
        rowX += m02;
        rowY += m12;
        if constexpr (Bilinear) {
            alpha += m03;
            beta += m13;
        }
    }
    return count;
}

// The walk with or without mask reads, decided once per pass. With masks the
// run form of the masked walk (MaskedRunWalk.h) serves; walkMaskedGrid above
// is its reference.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkGrid(const RegistrationEngine& engine, const Matrix& m, Visit&& visit) {
    return masksAreRead(engine) ? walkMaskedRuns<Bilinear, Slopes>(engine, m, visit)
                                : walkRuns<Bilinear, Slopes>(engine, m, visit);
}

} // namespace alignopt
