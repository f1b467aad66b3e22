#pragma once

#include "module/OwnedRef.h"

namespace alignopt::module {

// _register(target, source, code) -> (matrix, targetLandmarks, sourceLandmarks)
PyObject* registerMethod(PyObject* self, PyObject* args) noexcept;

// _transform(image, matrix) -> warped image
PyObject* transformMethod(PyObject* self, PyObject* args) noexcept;

} // namespace alignopt::module
