// The arguments every registration method shares: the family code and the
// image pair, checked and converted with the same messages everywhere, and
// the matrices of the result.
#include "module/ImagePairArguments.h"

#include "module/ArrayArguments.h"
#include "module/ErrorBoundary.h"

#include <cstddef>
#include <stdexcept>

namespace alignopt::module {

// Wrapping the code modulo 256 would run a registration nobody asked for.
TransformationType transformationFromCode(PyObject* codeObject) {
    const OwnedRef code = OwnedRef::fromNew(PyNumber_Index(codeObject));
    if (!code) {
        throw PythonErrorAlreadySet{};
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(code.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw PythonErrorAlreadySet{};
    }
    if (overflow != 0 || !isTransformationCode(value)) {
        throw ArgumentError("Invalid transformation");
    }
    return static_cast<TransformationType>(value);
}

ImagePair convertImagePair(PyObject* targetObject, PyObject* sourceObject) {
    refuseHugeArrays({targetObject, sourceObject});
    auto [target, source] = asDoubleArrays(targetObject, sourceObject);

    if (!isTwoDimensional(target.get()) || !isTwoDimensional(source.get())) {
        throw ArgumentError("Input arrays must be two dimensional");
    }
    const npy_intp rows = rowCount(target.get());
    const npy_intp columns = columnCount(target.get());
    // Compared at full width: sizes that agree only in their low 32 bits differ.
    if (rowCount(source.get()) != rows || columnCount(source.get()) != columns) {
        throw ArgumentError("Input arrays must of the same shape");
    }
    if (rows == 0 || columns == 0) {
        throw ArgumentError("Input arrays must not be empty");
    }
    if (exceedsSizeLimit(rows, columns)) {
        throw ArgumentError("Input arrays are too large");
    }
    return {std::move(target), std::move(source), static_cast<int32_t>(columns), static_cast<int32_t>(rows)};
}

OwnedRef newArrayFromMatrix(const Matrix& matrix) {
    if (matrix.rows < 0 || matrix.columns < 0 ||
        matrix.values.size() != static_cast<std::size_t>(matrix.rows) * static_cast<std::size_t>(matrix.columns)) {
        throw std::logic_error("result matrix has an inconsistent shape");
    }
    return newDoubleArrayFrom(matrix.values.data(), matrix.rows, matrix.columns);
}

} // namespace alignopt::module
