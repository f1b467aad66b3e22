#pragma once

// The mapped points of a group of grid rows, and the run of a row's points
// that lies inside the model: the run walk's two steps on its rows.

#include <cstddef>
#include <cstdint>

#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// The mapped points of a group of grid rows, for the run walk (RunWalk.h).
inline constexpr int32_t rowsTogether = 8;

// Rows r = 0 ... rowsTogether-1: x of row r at points[2r * pitch + k] and y at
// points[(2r + 1) * pitch + k] for the columns k < width, each row starting at
// its start and adding its step after every column, so every point is the
// same sum of the same steps as a walk along the row makes it. The rows' sums
// run side by side, each in a lane of its own: in 512-bit lanes at
// ProcessorLevel::Avx512, two rows to a 128-bit vector at every other level
// (the processor must run `level`).
void fillRowPointsAt(ProcessorLevel level, double* points, std::size_t pitch, std::size_t width,
                     const double (&startX)[rowsTogether], const double (&startY)[rowsTogether],
                     const double (&stepX)[rowsTogether], const double (&stepY)[rowsTogether]);

// The columns [begin, end) of a row of `width` points (x at px[k], y at
// py[k]) whose points round inside a modelWidth x modelHeight model: begin is
// the first such column (width when there is none) and end one past the last
// from begin on. The walk's points inside form one interval, so these are
// its ends. At ProcessorLevel::Avx512 the ends are looked for eight columns
// at a time; at every other level column by column.
struct InsideRun {
    int32_t begin;
    int32_t end;
};
InsideRun insideRunAt(ProcessorLevel level, const double* px, const double* py, int32_t width, int32_t modelWidth,
                      int32_t modelHeight);

} // namespace alignopt
