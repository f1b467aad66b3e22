#pragma once

// The half-sample mirror fold of an index into a line.

#include <cstdint>

namespace alignopt {

// Folds any index into [0, n) by half-sample mirror symmetry with period 2n:
// x[-1-i] = x[i], x[n+i] = x[n-1-i]. The one fold used by every filter.
inline int32_t foldMirror(int64_t i, int32_t n) {
    const int64_t period = 2 * static_cast<int64_t>(n);
    int64_t r = i % period;
    if (r < 0) r += period;
    return static_cast<int32_t>(r >= n ? period - 1 - r : r);
}

} // namespace alignopt
