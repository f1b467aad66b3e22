#pragma once

// The dense matrix and landmark-set record.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace alignopt {

// Dense row-major matrix of doubles. Element (r, c) lives at r * columns + c;
// new matrices are zero-filled. There are deliberately no arithmetic
// operators: every caller writes its loops so that the order of each sum is
// visible where it matters.
struct Matrix {
    std::vector<double> values;
    int32_t columns = 0;
    int32_t rows = 0;

    Matrix() = default;
    Matrix(int32_t rowCount, int32_t columnCount)
        : values(static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(columnCount), 0.0),
          columns(columnCount), rows(rowCount) {}

    double& operator()(int32_t r, int32_t c) {
        return values[static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(c)];
    }
    double operator()(int32_t r, int32_t c) const {
        return values[static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(c)];
    }

    friend bool operator==(const Matrix&, const Matrix&) = default;
};

// One landmark per row, columns x (column coordinate) then y (row coordinate).
using LandmarkSet = Matrix;

} // namespace alignopt
