#include "module/ArrayArguments.h"
#include "module/ErrorBoundary.h"
#include "module/InterpreterLock.h"
#include "module/Methods.h"

#include "core/linalg/Matrix.h"
#include "core/warp/Warp.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace alignopt::module {

namespace {

// The only core work of the method. It sees native values only and touches
// nothing of Python, so the interpreter lock is released around it; the
// converted arrays that own `pixels` and the result array that owns `output`
// stay referenced until it returns.
void warpOutsideInterpreter(Matrix matrix, const double* pixels, int32_t width, int32_t height, double* output) {
    const InterpreterLockRelease unlocked;
    warpImageInto(std::move(matrix), pixels, width, height, output);
}

OwnedRef transform(PyObject* args) {
    PyObject* imageObject = nullptr;
    PyObject* matrixObject = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &imageObject, &matrixObject)) {
        throw PythonErrorAlreadySet{};
    }
    refuseHugeArrays({imageObject, matrixObject});
    auto [image, matrixArray] = asDoubleArrays(imageObject, matrixObject);

    if (!isTwoDimensional(image.get()) || !isTwoDimensional(matrixArray.get())) {
        throw ArgumentError("Input arrays must be two dimensional");
    }
    const npy_intp matrixColumns = columnCount(matrixArray.get());
    if (rowCount(matrixArray.get()) != 2 || (matrixColumns != 1 && matrixColumns != 3 && matrixColumns != 4)) {
        throw ArgumentError("Transformation matrix must be of shape (2,1), (2,3) or (2,4)");
    }
    const npy_intp rows = rowCount(image.get());
    const npy_intp columns = columnCount(image.get());
    if (exceedsSizeLimit(rows, columns)) {
        throw ArgumentError("Input arrays are too large");
    }
    // Nothing to resample, and the spline filters need a sample in every line.
    if (rows == 0 || columns == 0) {
        return newDoubleArrayFrom(nullptr, rows, columns);
    }

    Matrix matrix(2, static_cast<int32_t>(matrixColumns));
    std::copy_n(doubleData(matrixArray.get()), matrix.values.size(), matrix.values.begin());

    // The warp writes straight into the result array, every value of it.
    OwnedRef result = newDoubleArray(rows, columns);
    if (!result) {
        throw PythonErrorAlreadySet{};
    }
    warpOutsideInterpreter(std::move(matrix), doubleData(image.get()), static_cast<int32_t>(columns),
                           static_cast<int32_t>(rows), reinterpret_cast<double*>(arrayFields(result.get()).data));
    return result;
}

} // namespace

PyObject* transformMethod(PyObject*, PyObject* args) noexcept {
    return guardedCall("_transform", [args] { return transform(args); });
}

} // namespace alignopt::module
