#pragma once

// The image passes run their lanes in vectors as wide as the processor
// offers, chosen once at run time; the library itself is built for any
// x86-64. Every level runs each lane through the same operations in the same
// order, so all give the same bits.

namespace alignopt {

enum class LaneLevel { Sse2, Avx2, Avx512 };

// The widest level this processor runs.
LaneLevel supportedLaneLevel();

} // namespace alignopt
