#pragma once

// Line filters run on several lines at once. A column walked alone strides
// through memory and leaves each recursion waiting on the previous sample, so
// the separable passes gather L rows or columns into a small interleaved
// buffer (sample k of lane l at k * L + l) and run the same recursions
// lane by lane. Every lane sees exactly the operations, in exactly the order,
// of the plain line functions in BSplineFilters.cpp, so results are identical
// to the bit; the tests hold the image passes against those line functions.

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/image/MirrorFold.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineConstants.h"

namespace alignopt::lanes {

// Rows are gathered eight at a time. Columns sixteen: a column block then
// reads two whole cache lines per image row, which halves the strided
// fetches that made a column pass cost well over its row pass.
inline constexpr int32_t kRowLanes = 8;
inline constexpr int32_t kColumnLanes = 16;

template <int32_t L>
std::size_t at(int32_t k, int32_t l) {
    return static_cast<std::size_t>(k) * L + static_cast<std::size_t>(l);
}

// Where `count` consecutive lines of an image lie: line i starts at element
// first + i * lineStep and its samples are sampleStep apart. Rows have
// (lineStep, sampleStep) = (width, 1), columns (1, width).
struct LineBlock {
    std::ptrdiff_t first;
    std::ptrdiff_t lineStep;
    std::ptrdiff_t sampleStep;
    int32_t length;
    int32_t count;

    std::ptrdiff_t index(int32_t k, int32_t l) const { return first + l * lineStep + k * sampleStep; }
};

// Each row of a column block lies on its own page, out of reach of the
// hardware prefetcher; ask for the rows a little ahead.
inline constexpr int32_t kPrefetchRows = 8;

// Lanes past `count` are zero-filled so that the filters run on defined values;
// they are never written back.
template <int32_t L>
void gather(const double* image, const LineBlock& b, double* buffer) {
    if (b.lineStep == 1 && b.count == L) { // a full block of columns: L neighbours per row
        for (int32_t k = 0; k < b.length; ++k) {
            const double* from = image + b.index(k, 0);
            if (k + kPrefetchRows < b.length) {
                __builtin_prefetch(from + kPrefetchRows * b.sampleStep);
                __builtin_prefetch(from + kPrefetchRows * b.sampleStep + L - 1);
            }
            for (int32_t l = 0; l < L; ++l) buffer[at<L>(k, l)] = from[l];
        }
        return;
    }
    for (int32_t k = 0; k < b.length; ++k) {
        for (int32_t l = 0; l < b.count; ++l) buffer[at<L>(k, l)] = image[b.index(k, l)];
        for (int32_t l = b.count; l < L; ++l) buffer[at<L>(k, l)] = 0.0;
    }
}

// Write-back of a pass: every stored value is rounded to single precision.
template <int32_t L>
void scatterRounded(const double* buffer, const LineBlock& b, double* image) {
    if (b.lineStep == 1 && b.count == L) {
        for (int32_t k = 0; k < b.length; ++k) {
            double* to = image + b.index(k, 0);
            if (k + kPrefetchRows < b.length) {
                __builtin_prefetch(to + kPrefetchRows * b.sampleStep, 1);
                __builtin_prefetch(to + kPrefetchRows * b.sampleStep + L - 1, 1);
            }
            for (int32_t l = 0; l < L; ++l) to[l] = roundToSingle(buffer[at<L>(k, l)]);
        }
        return;
    }
    for (int32_t k = 0; k < b.length; ++k)
        for (int32_t l = 0; l < b.count; ++l) image[b.index(k, l)] = roundToSingle(buffer[at<L>(k, l)]);
}

// Calls visit(block) for the rows of a width x height image, L at a time.
template <int32_t L, class Visit>
void forRowBlocks(int32_t width, int32_t height, Visit visit) {
    for (int32_t y = 0; y < height; y += L) {
        const int32_t count = height - y < L ? height - y : L;
        visit(LineBlock{static_cast<std::ptrdiff_t>(y) * width, width, 1, width, count});
    }
}

// Likewise for the columns.
template <int32_t L, class Visit>
void forColumnBlocks(int32_t width, int32_t height, Visit visit) {
    for (int32_t x = 0; x < width; x += L) {
        const int32_t count = width - x < L ? width - x : L;
        visit(LineBlock{x, 1, width, height, count});
    }
}

// Everything of the prefilter that depends only on the degree and the line
// length, worked out once per pass instead of once per line: the gain, and per
// pole z^N, the divisor 1 - z^(2N) and the weights z^(2N-k) + z^(k+1) that the
// initial causal coefficient gives sample k. The weights come from the same
// running quotient and product as in initialCausalCoefficient, so they are
// the same doubles.
struct PrefilterPlan {
    std::span<const double> poles;
    double gain = 1.0;
    int32_t length = 0;
    std::vector<double> zN;
    std::vector<double> divisor;
    std::vector<double> weights; // poles.size() rows of `length` values; k = 1 ... length-2 used

    PrefilterPlan(SplineDegree degree, int32_t n)
        : poles(splinePoles(degree)), gain(prefilterGain(poles)), length(n), zN(poles.size()),
          divisor(poles.size()), weights(poles.size() * static_cast<std::size_t>(n)) {
        for (std::size_t p = 0; p < poles.size(); ++p) {
            const double z = poles[p];
            zN[p] = std::pow(z, static_cast<double>(n));
            divisor[p] = 1.0 - std::pow(z, 2.0 * static_cast<double>(n));
            double a = zN[p] * zN[p];
            double b = z;
            double* w = &weights[p * static_cast<std::size_t>(n)];
            for (int32_t k = 1; k <= n - 2; ++k) {
                a = a / z;
                b = b * z;
                w[k] = a + b;
            }
        }
    }
};

// The kernels below read every constant into a local and build each output
// row of lanes in a local array first: the compiler cannot then suspect the
// output of overwriting its inputs, and runs the lanes as vector operations.

// prefilterLine on L interleaved lines of plan.length samples, in place.
// One pole's initial coefficient, causal and anticausal recursions on the
// lanes first ... first + G - 1 of L interleaved lines. The running sums and
// the recursions keep one value per lane in locals, unrolled across the
// lanes so that they stay in registers: carried through the buffer (or an
// array left in memory), each step would wait on the store of the step
// before. Groups of eight lanes: the compiler keeps wider groups scalar.
template <int32_t L, int32_t G>
void prefilterPole(double* x, int32_t first, int32_t n, double z, double zN, double divisor, const double* w) {
    double s[G];
#pragma GCC unroll 8
    for (int32_t l = 0; l < G; ++l)
        s[l] = (zN * x[at<L>(n - 1, first + l)] + x[at<L>(0, first + l)]) * (z + 1.0);
    for (int32_t k = 1; k <= n - 2; ++k) {
        const double wk = w[k];
#pragma GCC unroll 8
        for (int32_t l = 0; l < G; ++l) s[l] = s[l] + wk * x[at<L>(k, first + l)];
    }
    double carried[G];
#pragma GCC unroll 8
    for (int32_t l = 0; l < G; ++l) x[at<L>(0, first + l)] = carried[l] = s[l] / divisor;
    for (int32_t k = 1; k < n; ++k)
#pragma GCC unroll 8
        for (int32_t l = 0; l < G; ++l)
            x[at<L>(k, first + l)] = carried[l] = carried[l] * z + x[at<L>(k, first + l)];
#pragma GCC unroll 8
    for (int32_t l = 0; l < G; ++l) x[at<L>(n - 1, first + l)] = carried[l] = (z * carried[l]) / (z - 1.0);
    for (int32_t k = n - 2; k >= 0; --k)
#pragma GCC unroll 8
        for (int32_t l = 0; l < G; ++l)
            x[at<L>(k, first + l)] = carried[l] = (carried[l] - x[at<L>(k, first + l)]) * z;
}

template <int32_t L>
void prefilter(double* x, const PrefilterPlan& plan) {
    const int32_t n = plan.length;
    assert(n >= 1);
    if (n == 1) return;
    const double gain = plan.gain;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) * L; ++i) x[i] = x[i] * gain;
    constexpr int32_t G = L < 8 ? L : 8;
    static_assert(L % G == 0);
    for (std::size_t p = 0; p < plan.poles.size(); ++p) {
        const double* w = &plan.weights[p * static_cast<std::size_t>(n)];
        for (int32_t first = 0; first < L; first += G)
            prefilterPole<L, G>(x, first, n, plan.poles[p], plan.zN[p], plan.divisor[p], w);
    }
}

// Index of sample i of a line of n, folded by the mirror rule only when it
// lies outside.
inline int32_t tap(int32_t i, int32_t n) { return i >= 0 && i < n ? i : foldMirror(i, n); }

template <int32_t L>
void store(const double (&v)[L], double* out) {
    for (int32_t l = 0; l < L; ++l) out[l] = v[l];
}

// sampleLine with a half kernel of K values (2 or 4), on interleaved lines.
template <int32_t L, int K>
void sample(const double* h, const double* in, double* out, int32_t n) {
    assert(n >= 1);
    double hk[K];
    for (int j = 0; j < K; ++j) hk[j] = h[j];
    for (int32_t k = 0; k < n; ++k) {
        const double* c = in + at<L>(k, 0);
        const double* m1 = in + at<L>(tap(k - 1, n), 0);
        const double* p1 = in + at<L>(tap(k + 1, n), 0);
        double v[L];
        for (int32_t l = 0; l < L; ++l) v[l] = (m1[l] + p1[l]) * hk[1] + c[l] * hk[0];
        if constexpr (K == 4) {
            const double* m2 = in + at<L>(tap(k - 2, n), 0);
            const double* p2 = in + at<L>(tap(k + 2, n), 0);
            const double* m3 = in + at<L>(tap(k - 3, n), 0);
            const double* p3 = in + at<L>(tap(k + 3, n), 0);
            for (int32_t l = 0; l < L; ++l) v[l] = v[l] + (m2[l] + p2[l]) * hk[2];
            for (int32_t l = 0; l < L; ++l) v[l] = v[l] + (m3[l] + p3[l]) * hk[3];
        }
        store<L>(v, out + at<L>(k, 0));
    }
}

template <int32_t L>
void sample(std::span<const double> h, const double* in, double* out, int32_t n) {
    assert(h.size() == 2 || h.size() == 4);
    if (h.size() == 2)
        sample<L, 2>(h.data(), in, out, n);
    else
        sample<L, 4>(h.data(), in, out, n);
}

// differentiateLine on interleaved lines, into `out`; a one-sample line gives 0.
template <int32_t L>
void differentiate(const double* in, double* out, int32_t n) {
    assert(n >= 1);
    for (int32_t k = 0; k < n; ++k) {
        const double* before = in + at<L>(tap(k - 1, n), 0);
        const double* after = in + at<L>(tap(k + 1, n), 0);
        double v[L];
        for (int32_t l = 0; l < L; ++l) v[l] = (after[l] - before[l]) * 0.5;
        store<L>(v, out + at<L>(k, 0));
    }
}

// reduceLine on interleaved lines: n samples in, n / 2 out.
template <int32_t L>
void reduce(const double* in, double* out, int32_t n) {
    assert(n >= 1);
    const int32_t m = n / 2;
    for (int32_t j = 0; j < m; ++j) {
        const int32_t c = 2 * j;
        const double* x0 = in + at<L>(tap(c - 2, n), 0);
        const double* x1 = in + at<L>(tap(c - 1, n), 0);
        const double* x2 = in + at<L>(c, 0);
        const double* x3 = in + at<L>(tap(c + 1, n), 0);
        const double* x4 = in + at<L>(tap(c + 2, n), 0);
        double v[L];
        for (int32_t l = 0; l < L; ++l) v[l] = (x1[l] + x3[l]) * 0.25 + x2[l] * 0.375;
        for (int32_t l = 0; l < L; ++l) v[l] = v[l] + (x0[l] + x4[l]) * 0.0625;
        store<L>(v, out + at<L>(j, 0));
    }
}

} // namespace alignopt::lanes
