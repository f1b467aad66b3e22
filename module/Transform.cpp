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
// nothing of Python, so the interpreter lock can be released around it; the
// converted arrays that own `pixels` stay referenced until it returns.
std::vector<double> warpOutsideInterpreter(Matrix matrix, const double* pixels, int32_t width, int32_t height) {
    std::vector<double> warped;
    {
        const InterpreterLockRelease unlocked;
        warped = warpImage(std::move(matrix), pixels, width, height);
    }
    if (warped.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        throw std::logic_error("warped image has the wrong size");
    }
    return warped;
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

    std::vector<double> warped = warpOutsideInterpreter(std::move(matrix), doubleData(image.get()),
                                                        static_cast<int32_t>(columns), static_cast<int32_t>(rows));

    // The converted copies go before the result is allocated.
    matrixArray.reset();
    image.reset();
    return newDoubleArrayFrom(warped.data(), rows, columns);
}

} // namespace

PyObject* transformMethod(PyObject*, PyObject* args) noexcept {
    return guardedCall("_transform", [args] { return transform(args); });
}

} // namespace alignopt::module
