#pragma once

// The gradient, Gauss-Newton matrix and squared-residual sums of a pass.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/linalg/Matrix.h"

namespace alignopt {

// Gradient and upper triangle of the Gauss-Newton matrix of a derivative
// pass, and its sum of squared residuals, summed in pixel order; the lower
// triangle is only filled in when the walk is over. The triangle is packed
// row by row.
template <int32_t N>
struct GaussNewtonSums {
    static constexpr std::size_t packed = static_cast<std::size_t>(N * (N + 1) / 2);
    static constexpr auto pairs = [] {
        std::array<std::array<int32_t, 2>, packed> p{};
        std::size_t at = 0;
        for (int32_t a = 0; a < N; ++a)
            for (int32_t b = a; b < N; ++b) p[at++] = {a, b};
        return p;
    }();

    // Where h(a, b), a <= b, lies in the packed triangle.
    static constexpr std::size_t at(int32_t a, int32_t b) {
        return static_cast<std::size_t>(a * N - a * (a - 1) / 2 + (b - a));
    }

    double g[N] = {};
    double h[packed] = {};
    double s = 0.0;

    // One pixel: s += r * r, g[a] += d[a] * r, h(a, b) += d[a] * d[b] for
    // b >= a. The updates are unrolled at compile time.
    [[gnu::always_inline]] void add(const double (&d)[N], double r) {
        s = s + r * r;
        addGradient(d, r, std::make_index_sequence<N>{});
        addProducts(d, std::make_index_sequence<packed>{});
    }

    void store(Matrix& hessian, std::span<double> gradient) const {
        for (int32_t a = 0; a < N; ++a) gradient[static_cast<std::size_t>(a)] = g[a];
        for (std::size_t p = 0; p < packed; ++p) {
            hessian(pairs[p][0], pairs[p][1]) = h[p];
            hessian(pairs[p][1], pairs[p][0]) = h[p];
        }
    }

private:
    template <std::size_t... A>
    [[gnu::always_inline]] void addGradient(const double (&d)[N], double r, std::index_sequence<A...>) {
        ((g[A] = g[A] + d[A] * r), ...);
    }

    template <std::size_t... P>
    [[gnu::always_inline]] void addProducts(const double (&d)[N], std::index_sequence<P...>) {
        ((h[P] = h[P] + d[pairs[P][0]] * d[pairs[P][1]]), ...);
    }
};

} // namespace alignopt
