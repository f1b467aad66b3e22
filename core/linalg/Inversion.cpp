// Gauss-Jordan inversion of the optimisers' small matrices.
#include "core/linalg/Inversion.h"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace alignopt {

void invertMatrix(Matrix& a) {
    const int32_t n = a.rows;
    if (n <= 0) return;
    const std::size_t stride = static_cast<std::size_t>(a.columns);
    const std::size_t size = static_cast<std::size_t>(n);
    auto A = [&](int32_t r, int32_t c) -> double& { return a.values[r * stride + c]; };
    std::vector<double> w(size * size, 0.0);
    auto W = [&](int32_t r, int32_t c) -> double& { return w[r * size + c]; };

    // Implicit equilibration: each row is divided by its entry of largest
    // magnitude (leftmost on ties), so the pivot search compares rows on one scale.
    for (int32_t i = 0; i < n; ++i) {
        double scale = A(i, 0);
        for (int32_t c = 1; c < n; ++c)
            if (std::fabs(A(i, c)) > std::fabs(scale)) scale = A(i, c);
        W(i, i) = 1.0 / scale;
        for (int32_t c = 0; c < n; ++c) A(i, c) /= scale;
    }

    for (int32_t p = 0; p < n; ++p) {
        int32_t pivot = p;
        for (int32_t r = p + 1; r < n; ++r)
            if (std::fabs(A(r, p)) > std::fabs(A(pivot, p))) pivot = r;
        if (pivot != p) {
            // Entries left of column p are never read again.
            for (int32_t c = p; c < n; ++c) std::swap(A(p, c), A(pivot, c));
            for (int32_t c = 0; c < n; ++c) std::swap(W(p, c), W(pivot, c));
        }
        const double v = A(p, p); // counts as 1 from here on, without being rewritten
        for (int32_t c = 0; c < n; ++c) W(p, c) /= v;
        for (int32_t c = p + 1; c < n; ++c) A(p, c) /= v;
        for (int32_t k = p + 1; k < n; ++k) {
            const double m = A(k, p);
            for (int32_t c = 0; c < n; ++c) W(k, c) -= m * W(p, c);
            for (int32_t c = p + 1; c < n; ++c) A(k, c) -= m * A(p, c);
        }
    }

    // Back substitution touches only W; the multipliers are A's upper triangle.
    for (int32_t i = n - 1; i >= 1; --i)
        for (int32_t j = i - 1; j >= 0; --j) {
            const double m = A(j, i);
            for (int32_t c = 0; c < n; ++c) W(j, c) -= m * W(i, c);
        }

    for (int32_t r = 0; r < n; ++r)
        for (int32_t c = 0; c < n; ++c) A(r, c) = W(r, c);
}

} // namespace alignopt
