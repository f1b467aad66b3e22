#pragma once

// The rounding to single precision that every stored image pass applies.

namespace alignopt {

// Every separable image pass stores its values rounded to the nearest float,
// kept as that float's exact double: results are reproducible across
// compilers and the pyramids hold exactly what a float image would.
inline double roundToSingle(double v) { return static_cast<double>(static_cast<float>(v)); }

} // namespace alignopt
