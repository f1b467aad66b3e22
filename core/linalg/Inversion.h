#pragma once

// Inversion of small square matrices.

#include "core/linalg/Matrix.h"

namespace alignopt {

// In-place Gauss-Jordan inversion with implicit row equilibration and partial
// pivoting. Square matrices only (rows == columns <= 8 in this system).
// Singular input is not reported: the result then holds infinities or NaNs.
void invertMatrix(Matrix& a);

} // namespace alignopt
