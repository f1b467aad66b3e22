#pragma once

#include "module/ArrayApi.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace alignopt::module {

// The core counts rows, columns and pixels in 32-bit signed integers.
inline constexpr npy_intp sizeLimit = npy_intp{1} << 31;

// Refuses, before any conversion copies them, NumPy arrays among the arguments
// that hold 2^31 or more elements: no such array is ever accepted, and
// converting one to C-ordered doubles could mean a copy of 16 GiB or more.
void refuseHugeArrays(std::initializer_list<PyObject*> arguments);

// Converts both objects with asDoubleArray, always both and in order. When
// either fails, the first failure's exception is raised (as
// PythonErrorAlreadySet) and both results are released.
std::pair<OwnedRef, OwnedRef> asDoubleArrays(PyObject* first, PyObject* second);

inline bool isTwoDimensional(PyObject* array) noexcept { return arrayFields(array).nd == 2; }
inline npy_intp rowCount(PyObject* array) noexcept { return arrayFields(array).dimensions[0]; }
inline npy_intp columnCount(PyObject* array) noexcept { return arrayFields(array).dimensions[1]; }
inline const double* doubleData(PyObject* array) noexcept {
    return reinterpret_cast<const double*>(arrayFields(array).data);
}

// True when a dimension or the pixel count does not fit the core's sizes.
bool exceedsSizeLimit(npy_intp rows, npy_intp columns) noexcept;

// A new (rows, columns) array holding rows * columns values copied from a
// row-major buffer.
OwnedRef newDoubleArrayFrom(const double* values, npy_intp rows, npy_intp columns);

} // namespace alignopt::module
