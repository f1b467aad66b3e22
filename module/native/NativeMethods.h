#pragma once

#include "module/OwnedRef.h"

namespace alignopt::module {

// register(target, source, code, target_mask=None, source_mask=None,
//          initial=None) -> (matrix, target_landmarks, source_landmarks,
//          error, pixels)
PyObject* registerWithOptionsMethod(PyObject* self, PyObject* args, PyObject* keywords) noexcept;

extern const char registerWithOptionsDoc[];

} // namespace alignopt::module
