#pragma once

#include "core/linalg/Matrix.h"

namespace alignopt {

// Throws OptionError unless `initial` is a finite (2, 1), (2, 3) or (2, 4)
// matrix in the layout of a registration's result.
void checkInitialMatrix(const Matrix& initial);

// The source landmarks where `initial` (target positions to source
// positions) sends `targetLandmarks`. A (2, 1) matrix is a translation, a
// (2, 3) one an affine map, a (2, 4) one adds the x*y column. Every family
// starts from the landmarks so placed and its own landmark model takes what
// it can of the map: translation keeps the displacement of its one landmark
// (the image centre), rigid body the displacement of the centre and the
// turn of its middle column, scaled rotation the similarity through its two
// landmarks, affine the affine map through its three (exact for a (2, 3)
// start), bilinear the map itself (exact for every start). Throws
// OptionError when a landmark would leave the finite numbers.
LandmarkSet landmarksUnder(const Matrix& initial, const LandmarkSet& targetLandmarks);

} // namespace alignopt
