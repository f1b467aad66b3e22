#include "module/ArrayArguments.h"
#include "module/ErrorBoundary.h"
#include "module/InterpreterLock.h"
#include "module/Methods.h"

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"
#include "core/registration/Registration.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace alignopt::module {

namespace {

// Any integer is accepted as the code argument, but only the five family codes
// as values: wrapping it modulo 256 would run a registration nobody asked for.
// A non-integer raises the interpreter's TypeError.
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

// The only core work of the method. It sees native values only and touches
// nothing of Python, so the interpreter lock can be released around it; the
// converted arrays that own both buffers stay referenced until it returns.
// The core refuses non-finite pixels first, in the pass over the pixels it
// makes anyway, which threads can then overlap.
RegistrationResult registerOutsideInterpreter(const double* target, const double* source,
                                              TransformationType transformation, int32_t width, int32_t height) {
    try {
        const InterpreterLockRelease unlocked;
        return registerImages(target, source, transformation, width, height);
    } catch (const ValueRangeError& error) {
        throw ArgumentError(error.what());
    }
}

OwnedRef newArrayFromMatrix(const Matrix& matrix) {
    if (matrix.rows < 0 || matrix.columns < 0 ||
        matrix.values.size() != static_cast<std::size_t>(matrix.rows) * static_cast<std::size_t>(matrix.columns)) {
        throw std::logic_error("result matrix has an inconsistent shape");
    }
    return newDoubleArrayFrom(matrix.values.data(), matrix.rows, matrix.columns);
}

OwnedRef registerImagePair(PyObject* args) {
    PyObject* targetObject = nullptr;
    PyObject* sourceObject = nullptr;
    PyObject* codeObject = nullptr;
    if (!PyArg_ParseTuple(args, "OOO", &targetObject, &sourceObject, &codeObject)) {
        throw PythonErrorAlreadySet{};
    }
    const TransformationType transformation = transformationFromCode(codeObject);
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
    const RegistrationResult result =
        registerOutsideInterpreter(doubleData(target.get()), doubleData(source.get()), transformation,
                                   static_cast<int32_t>(columns), static_cast<int32_t>(rows));

    // The converted copies go before the results are allocated.
    source.reset();
    target.reset();
    const OwnedRef matrix = newArrayFromMatrix(result.matrix);
    const OwnedRef targetLandmarks = newArrayFromMatrix(result.targetLandmarks);
    const OwnedRef sourceLandmarks = newArrayFromMatrix(result.sourceLandmarks);
    // The tuple takes references of its own; the arrays' references here are
    // dropped on return, leaving the tuple as their only owner.
    OwnedRef tuple =
        OwnedRef::fromNew(Py_BuildValue("OOO", matrix.get(), targetLandmarks.get(), sourceLandmarks.get()));
    if (!tuple) {
        throw PythonErrorAlreadySet{};
    }
    return tuple;
}

} // namespace

PyObject* registerMethod(PyObject*, PyObject* args) noexcept {
    return guardedCall("_register", [args] { return registerImagePair(args); });
}

} // namespace alignopt::module
