#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/linalg/Matrix.h"
#include "core/registration/PointBatch.h"

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

    // Pixels 0 ... count-1 in that order, pixel p with terms d[p] and
    // residual r[p]: the same sums as add() for each, in the same order.
    void addAll(const double (*d)[N], const double* r, int32_t count);

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

// Term counts with a wide form of addAll: a row of the triangle fits eight lanes.
template <int32_t N>
inline constexpr bool hasWideSums = N == 3 || N == 4 || N == 6 || N == 8;

// The wide form of addAll, on processors with 512-bit vectors; false
// (nothing added) elsewhere. For the tests: `level` picks the path as for the
// batch evaluation.
template <int32_t N>
bool addAllWide(BatchLevel level, GaussNewtonSums<N>& sums, const double (*d)[N], const double* r, int32_t count);

template <int32_t N>
void GaussNewtonSums<N>::addAll(const double (*d)[N], const double* r, int32_t count) {
    if constexpr (hasWideSums<N>) {
        if (addAllWide(supportedBatchLevel(), *this, d, r, count)) return;
    }
    for (int32_t p = 0; p < count; ++p) add(d[p], r[p]);
}

// The terms of the pixels a walk has used but not yet summed, summed a block
// at a time so that the wide form can run; the storage is fixed.
template <int32_t N>
class PendingTerms {
public:
    static constexpr int32_t capacity = 256;

    // Room for the next pixel's terms, whose residual is r.
    double (&next(double r))[N] {
        residuals_[size_] = r;
        return terms_[size_++];
    }
    bool full() const { return size_ == capacity; }

    void addTo(GaussNewtonSums<N>& sums) {
        sums.addAll(terms_, residuals_, size_);
        size_ = 0;
    }

private:
    double terms_[capacity][N];
    double residuals_[capacity];
    int32_t size_ = 0;
};

} // namespace alignopt
