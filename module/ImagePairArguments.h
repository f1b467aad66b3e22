#pragma once

#include "module/OwnedRef.h"

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"

#include <cstdint>

namespace alignopt::module {

// Any integer is accepted as the code argument, but only the five family codes
// as values; anything else is ArgumentError("Invalid transformation"). A
// non-integer raises the interpreter's TypeError.
TransformationType transformationFromCode(PyObject* codeObject);

// The two images of a registration, converted to C-ordered doubles and
// checked: two dimensional, the same shape, not empty, within the core's
// sizes. The arrays own the buffers for as long as the record lives.
struct ImagePair {
    OwnedRef target;
    OwnedRef source;
    int32_t width = 0;
    int32_t height = 0;
};
ImagePair convertImagePair(PyObject* targetObject, PyObject* sourceObject);

// A new array holding a copy of the matrix.
OwnedRef newArrayFromMatrix(const Matrix& matrix);

} // namespace alignopt::module
