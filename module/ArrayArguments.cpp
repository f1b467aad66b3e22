#include "module/ArrayArguments.h"

#include "module/ErrorBoundary.h"

#include <algorithm>

namespace alignopt::module {

namespace {

// Element count of an array, saturated at sizeLimit.
npy_intp elementCountUpToLimit(const ArrayObjectFields& array) noexcept {
    npy_intp count = 1;
    for (int axis = 0; axis < array.nd; ++axis) {
        if (array.dimensions[axis] == 0) {
            return 0;
        }
    }
    // Both factors stay below 2^31, so no product can overflow.
    for (int axis = 0; axis < array.nd; ++axis) {
        if (array.dimensions[axis] >= sizeLimit) {
            return sizeLimit;
        }
        count *= array.dimensions[axis];
        if (count >= sizeLimit) {
            return sizeLimit;
        }
    }
    return count;
}

} // namespace

void refuseHugeArrays(std::initializer_list<PyObject*> arguments) {
    for (PyObject* argument : arguments) {
        if (isArray(argument) && elementCountUpToLimit(arrayFields(argument)) >= sizeLimit) {
            throw ArgumentError("Input arrays are too large");
        }
    }
}

std::pair<OwnedRef, OwnedRef> asDoubleArrays(PyObject* first, PyObject* second) {
    OwnedRef firstArray = asDoubleArray(first);
    // The second conversion may run Python code: it must not start with an
    // exception pending, so the first failure is set aside and restored.
    PyObject* pendingType = nullptr;
    PyObject* pendingValue = nullptr;
    PyObject* pendingTraceback = nullptr;
    if (!firstArray) {
        PyErr_Fetch(&pendingType, &pendingValue, &pendingTraceback);
    }
    OwnedRef secondArray = asDoubleArray(second);
    if (!firstArray) {
        PyErr_Restore(pendingType, pendingValue, pendingTraceback);
        throw PythonErrorAlreadySet{};
    }
    if (!secondArray) {
        throw PythonErrorAlreadySet{};
    }
    return {std::move(firstArray), std::move(secondArray)};
}

bool exceedsSizeLimit(npy_intp rows, npy_intp columns) noexcept {
    // With both below 2^31 the product cannot overflow.
    return rows >= sizeLimit || columns >= sizeLimit || rows * columns >= sizeLimit;
}

OwnedRef newDoubleArrayFrom(const double* values, npy_intp rows, npy_intp columns) {
    OwnedRef array = newDoubleArray(rows, columns);
    if (!array) {
        throw PythonErrorAlreadySet{};
    }
    std::copy_n(values, rows * columns, reinterpret_cast<double*>(arrayFields(array.get()).data));
    return array;
}

} // namespace alignopt::module
