#pragma once

// Line filters run on several lines at once. A column walked alone strides
// through memory and leaves each recursion waiting on the previous sample, so
// the separable passes gather L rows or columns into a small interleaved
// buffer (sample k of lane l at k * L + l) and run the same recursions
// lane by lane, W lanes to a vector. Every lane sees exactly the operations,
// in exactly the order, of the plain line functions in BSplineFilters.cpp, so
// results are identical to the bit; the tests hold the image passes against
// those line functions on every level.
//
// The kernels are written once on GNU vectors and compiled for each level:
// runAtLevel (core/simd) calls a pass through a function built for the level's instruction set
// that inlines everything the pass calls (flatten), so the same source runs as
// SSE2, AVX2 or AVX-512 code. Nothing here uses intrinsics, which GCC would
// not inline across the differing targets.

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/image/MirrorFold.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineConstants.h"
#include "core/simd/ProcessorLevel.h"
#include "core/simd/RunAtLevel.h"
#include "core/simd/VectorTypes.h"

namespace alignopt::lanes {

// How each level runs: W doubles to a vector; rows and columns gathered
// `rows` and `columns` at a time; the prefilter recursions of `group` lanes
// interleaved. Each step of a recursion waits on the one before, so a group
// must hold several vectors to keep the arithmetic busy. A column block reads
// a stretch of every image row, each on its own page: 64 columns (eight
// cache lines a row) made the column passes a quarter to a half faster than
// 16 or 32 on every level, and 128 were slower again.
template <ProcessorLevel V>
struct Shape;
template <>
struct Shape<ProcessorLevel::Baseline> {
    static constexpr int32_t vector = 2, rows = 8, columns = 64, group = 8;
};
template <>
struct Shape<ProcessorLevel::Avx2> {
    static constexpr int32_t vector = 4, rows = 16, columns = 64, group = 16;
};
template <>
struct Shape<ProcessorLevel::Avx512> {
    static constexpr int32_t vector = 8, rows = 32, columns = 64, group = 32;
};

// The widest of the levels' blocks, for sizing buffers.
inline constexpr int32_t kMaxLanes = 64;

template <int32_t W>
using Real = typename VectorTypes<W>::Real;
template <int32_t W>
using Single = typename VectorTypes<W>::Single;

// W lanes read from and written to p, which need not be aligned.
template <int32_t W>
[[gnu::always_inline]] inline Real<W> loadLanes(const double* p) {
    Real<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int32_t W>
[[gnu::always_inline]] inline void storeLanes(double* p, const Real<W>& v) {
    std::memcpy(p, &v, sizeof v);
}

// roundToSingle on every lane.
template <int32_t W>
[[gnu::always_inline]] inline void roundLanesToSingle(Real<W>& v) {
    v = __builtin_convertvector(__builtin_convertvector(v, Single<W>), Real<W>);
}

// Lanes of a and b picked by `mask` (0 ... W-1 from a, W ... 2W-1 from b).
// Clang has no shuffle with a mask vector; its lane loop, with the mask known
// once unrolled, comes to the same moves.
template <int32_t W>
[[gnu::always_inline]] inline Real<W> shuffleLanes(const Real<W>& a, const Real<W>& b,
                                                   const typename VectorTypes<W>::Mask& mask) {
#if defined(__clang__)
    Real<W> r;
    for (int32_t i = 0; i < W; ++i) r[i] = mask[i] < W ? a[mask[i]] : b[mask[i] - W];
    return r;
#else
    return __builtin_shuffle(a, b, mask);
#endif
}

// Transposes a W x W block held as W vectors: lane j of vector i goes to lane
// i of vector j. Stage B interleaves blocks of B lanes of vectors B apart.
template <int32_t W, int32_t B = 1>
[[gnu::always_inline]] inline void transpose(Real<W> (&r)[W]) {
    if constexpr (B < W) {
        typename VectorTypes<W>::Mask low;
        typename VectorTypes<W>::Mask high;
#pragma GCC unroll 8
        for (int32_t i = 0; i < W; ++i) {
            const int32_t base = i / (2 * B) * (2 * B);
            const int32_t offset = i % (2 * B);
            low[i] = offset < B ? base + offset : W + base + offset - B;
            high[i] = offset < B ? base + B + offset : W + base + offset;
        }
#pragma GCC unroll 8
        for (int32_t g = 0; g < W; g += 2 * B)
#pragma GCC unroll 8
            for (int32_t i = g; i < g + B; ++i) {
                const Real<W> a = r[i];
                r[i] = shuffleLanes<W>(a, r[i + B], low);
                r[i + B] = shuffleLanes<W>(a, r[i + B], high);
            }
        transpose<W, 2 * B>(r);
    }
}

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

// Scratch blocks of a pass, each of `length` lines of kMaxLanes doubles. Each
// block starts on a cache line, so that no vector access straddles two, and
// the blocks are 2 KiB apart modulo 4 KiB: a load whose address matches a
// pending store's in the low twelve bits waits for that store, and blocks of
// equal size from the allocator would all start at the same page offset,
// which had every sample of the stencils read where the step before wrote.
class LaneScratch {
public:
    LaneScratch(int32_t length, int32_t blocks)
        : stride_((static_cast<std::size_t>(length) * kMaxLanes + 511) / 512 * 512 + 256),
          storage_(std::make_unique_for_overwrite<double[]>(stride_ * static_cast<std::size_t>(blocks) + 8)) {}

    double* block(int32_t i) {
        const auto base = reinterpret_cast<std::uintptr_t>(storage_.get());
        return reinterpret_cast<double*>((base + 63) / 64 * 64) + stride_ * static_cast<std::size_t>(i);
    }

private:
    std::size_t stride_;
    std::unique_ptr<double[]> storage_;
};

// Each row of a column block lies on its own page, out of reach of the
// hardware prefetcher; ask for the rows a little ahead.
inline constexpr int32_t kPrefetchRows = 8;

// Lanes past `count` are zero-filled so that the filters run on defined values;
// they are never written back.
template <int32_t L, int32_t W>
void gather(const double* image, const LineBlock& b, double* buffer) {
    static_assert(L % W == 0);
    if (b.sampleStep == 1 && b.count == L) {
        // A full block of rows: W samples of W rows at a time, transposed in
        // registers; element by element this cost as much as the filter.
        const int32_t whole = b.length / W * W;
        for (int32_t l = 0; l < L; l += W)
            for (int32_t k = 0; k < whole; k += W) {
                Real<W> r[W];
#pragma GCC unroll 8
                for (int32_t i = 0; i < W; ++i) r[i] = loadLanes<W>(image + b.index(k, l + i));
                transpose<W>(r);
#pragma GCC unroll 8
                for (int32_t i = 0; i < W; ++i) storeLanes<W>(buffer + at<L>(k + i, l), r[i]);
            }
        for (int32_t k = whole; k < b.length; ++k)
            for (int32_t l = 0; l < L; ++l) buffer[at<L>(k, l)] = image[b.index(k, l)];
        return;
    }
    if (b.lineStep == 1 && b.count == L) { // a full block of columns: L neighbours per row
        for (int32_t k = 0; k < b.length; ++k) {
            const double* from = image + b.index(k, 0);
            if (k + kPrefetchRows < b.length) {
                __builtin_prefetch(from + kPrefetchRows * b.sampleStep);
                __builtin_prefetch(from + kPrefetchRows * b.sampleStep + L - 1);
            }
#pragma GCC unroll 16
            for (int32_t l = 0; l < L; l += W) storeLanes<W>(buffer + at<L>(k, l), loadLanes<W>(from + l));
        }
        return;
    }
    for (int32_t k = 0; k < b.length; ++k) {
        for (int32_t l = 0; l < b.count; ++l) buffer[at<L>(k, l)] = image[b.index(k, l)];
        for (int32_t l = b.count; l < L; ++l) buffer[at<L>(k, l)] = 0.0;
    }
}

// Write-back of a pass: every stored value is rounded to single precision.
template <int32_t L, int32_t W>
void scatterRounded(const double* buffer, const LineBlock& b, double* image) {
    static_assert(L % W == 0);
    if (b.sampleStep == 1 && b.count == L) {
        const int32_t whole = b.length / W * W;
        for (int32_t l = 0; l < L; l += W)
            for (int32_t k = 0; k < whole; k += W) {
                Real<W> r[W];
#pragma GCC unroll 8
                for (int32_t i = 0; i < W; ++i) {
                    r[i] = loadLanes<W>(buffer + at<L>(k + i, l));
                    roundLanesToSingle<W>(r[i]);
                }
                transpose<W>(r);
#pragma GCC unroll 8
                for (int32_t i = 0; i < W; ++i) storeLanes<W>(image + b.index(k, l + i), r[i]);
            }
        for (int32_t k = whole; k < b.length; ++k)
            for (int32_t l = 0; l < L; ++l) image[b.index(k, l)] = roundToSingle(buffer[at<L>(k, l)]);
        return;
    }
    if (b.lineStep == 1 && b.count == L) {
        for (int32_t k = 0; k < b.length; ++k) {
            double* to = image + b.index(k, 0);
            if (k + kPrefetchRows < b.length) {
                __builtin_prefetch(to + kPrefetchRows * b.sampleStep, 1);
                __builtin_prefetch(to + kPrefetchRows * b.sampleStep + L - 1, 1);
            }
#pragma GCC unroll 16
            for (int32_t l = 0; l < L; l += W) {
                Real<W> v = loadLanes<W>(buffer + at<L>(k, l));
                roundLanesToSingle<W>(v);
                storeLanes<W>(to + l, v);
            }
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
// row of lanes in vectors first, written once.

// One pole's initial coefficient, causal and anticausal recursions on the
// lanes first ... first + G - 1 of L interleaved lines of n samples, in
// place. The running sums and the recursions keep their G lanes in vector
// locals, so that they stay in registers: carried through the buffer, each
// step would wait on the store of the step before.
// The first pole also applies the gain (Gain), each sample multiplied as the
// sum first reads it: one trip through the block fewer than a pass of its own.
template <int32_t L, int32_t G, int32_t W, bool Gain>
void prefilterPole(double* x, int32_t first, int32_t n, double z, double zN, double divisor, const double* w,
                   double gain) {
    constexpr int32_t N = G / W;
    auto lanes = [&](int32_t k, int32_t j) { return x + at<L>(k, first + j * W); };
    auto get = [&](int32_t k, int32_t j) { return loadLanes<W>(lanes(k, j)); };
    auto set = [&](int32_t k, int32_t j, const Real<W>& v) { storeLanes<W>(lanes(k, j), v); };
    Real<W> s[N];
#pragma GCC unroll 8
    for (int32_t j = 0; j < N; ++j) {
        if constexpr (Gain) {
            set(0, j, get(0, j) * gain);
            set(n - 1, j, get(n - 1, j) * gain);
        }
        s[j] = (zN * get(n - 1, j) + get(0, j)) * (z + 1.0);
    }
    for (int32_t k = 1; k <= n - 2; ++k) {
        const double wk = w[k];
#pragma GCC unroll 8
        for (int32_t j = 0; j < N; ++j) {
            if constexpr (Gain) set(k, j, get(k, j) * gain);
            s[j] = s[j] + wk * get(k, j);
        }
    }
    Real<W> carried[N];
#pragma GCC unroll 8
    for (int32_t j = 0; j < N; ++j) set(0, j, carried[j] = s[j] / divisor);
    for (int32_t k = 1; k < n; ++k)
#pragma GCC unroll 8
        for (int32_t j = 0; j < N; ++j) set(k, j, carried[j] = carried[j] * z + get(k, j));
#pragma GCC unroll 8
    for (int32_t j = 0; j < N; ++j) set(n - 1, j, carried[j] = (z * carried[j]) / (z - 1.0));
    for (int32_t k = n - 2; k >= 0; --k)
#pragma GCC unroll 8
        for (int32_t j = 0; j < N; ++j) set(k, j, carried[j] = (carried[j] - get(k, j)) * z);
}

// prefilterLine on L interleaved lines of plan.length samples, in place.
template <int32_t L, int32_t G, int32_t W>
void prefilter(double* x, const PrefilterPlan& plan) {
    static_assert(L % G == 0 && G % W == 0);
    const int32_t n = plan.length;
    assert(n >= 1 && !plan.poles.empty());
    if (n == 1) return;
    for (std::size_t p = 0; p < plan.poles.size(); ++p) {
        const double* w = &plan.weights[p * static_cast<std::size_t>(n)];
        for (int32_t first = 0; first < L; first += G) {
            if (p == 0)
                prefilterPole<L, G, W, true>(x, first, n, plan.poles[p], plan.zN[p], plan.divisor[p], w, plan.gain);
            else
                prefilterPole<L, G, W, false>(x, first, n, plan.poles[p], plan.zN[p], plan.divisor[p], w, 1.0);
        }
    }
}

// Index of sample i of a line of n, folded by the mirror rule only when it
// lies outside.
inline int32_t tap(int32_t i, int32_t n) { return i >= 0 && i < n ? i : foldMirror(i, n); }

// differentiateLine on L lines whose sample k starts at in + k * step,
// written interleaved to `out`; a one-sample line gives 0.
template <int32_t L, int32_t W>
void differentiate(const double* in, std::ptrdiff_t step, double* out, int32_t n) {
    assert(n >= 1);
    for (int32_t k = 0; k < n; ++k) {
        const double* before = in + tap(k - 1, n) * step;
        const double* after = in + tap(k + 1, n) * step;
#pragma GCC unroll 16
        for (int32_t l = 0; l < L; l += W)
            storeLanes<W>(out + at<L>(k, l), (loadLanes<W>(after + l) - loadLanes<W>(before + l)) * 0.5);
    }
}

// The stencils along one image line of n samples, for the row passes: W
// consecutive outputs at a time where every tap lies inside the line, and
// the few at the ends with their taps folded. Each output goes through the
// operations of the line function, rounded to single precision as stored.
// They need no gather: a row's samples are already neighbours.

// Calls vector(k) for outputs k ... k + W - 1 covering first ... last, the
// last call moved back to end at `last` (overlapping the one before it, whose
// outputs it writes again with the same values) rather than leaving up to
// W - 1 outputs to the far slower folded code; one(k) for every other output
// of 0 ... n - 1.
template <int32_t W, class Vector, class One>
[[gnu::always_inline]] inline void alongLine(int32_t first, int32_t last, int32_t n, Vector vector, One one) {
    if (last - first + 1 < W) {
        for (int32_t k = 0; k < n; ++k) one(k);
        return;
    }
    for (int32_t k = 0; k < first; ++k) one(k);
    int32_t k = first;
    for (; k + W - 1 <= last; k += W) vector(k);
    if (k <= last) vector(last - W + 1);
    for (k = last + 1; k < n; ++k) one(k);
}

template <int K, int32_t W>
void sampleAlong(const double* h, const double* x, double* out, int32_t n) {
    double hk[K];
    for (int j = 0; j < K; ++j) hk[j] = h[j];
    auto one = [&](int32_t k) {
        double v = (x[tap(k - 1, n)] + x[tap(k + 1, n)]) * hk[1] + x[k] * hk[0];
        if constexpr (K == 4) {
            v = v + (x[tap(k - 2, n)] + x[tap(k + 2, n)]) * hk[2];
            v = v + (x[tap(k - 3, n)] + x[tap(k + 3, n)]) * hk[3];
        }
        out[k] = roundToSingle(v);
    };
    auto vector = [&](int32_t k) {
        Real<W> v = (loadLanes<W>(x + k - 1) + loadLanes<W>(x + k + 1)) * hk[1] + loadLanes<W>(x + k) * hk[0];
        if constexpr (K == 4) {
            v = v + (loadLanes<W>(x + k - 2) + loadLanes<W>(x + k + 2)) * hk[2];
            v = v + (loadLanes<W>(x + k - 3) + loadLanes<W>(x + k + 3)) * hk[3];
        }
        roundLanesToSingle<W>(v);
        storeLanes<W>(out + k, v);
    };
    constexpr int32_t reach = K - 1;
    alongLine<W>(reach, n - 1 - reach, n, vector, one);
}

template <int32_t W>
void sampleAlong(std::span<const double> h, const double* x, double* out, int32_t n) {
    assert(h.size() == 2 || h.size() == 4);
    if (h.size() == 2)
        sampleAlong<2, W>(h.data(), x, out, n);
    else
        sampleAlong<4, W>(h.data(), x, out, n);
}

template <int32_t W>
void differentiateAlong(const double* x, double* out, int32_t n) {
    auto one = [&](int32_t k) { out[k] = roundToSingle((x[tap(k + 1, n)] - x[tap(k - 1, n)]) * 0.5); };
    auto vector = [&](int32_t k) {
        Real<W> v = (loadLanes<W>(x + k + 1) - loadLanes<W>(x + k - 1)) * 0.5;
        roundLanesToSingle<W>(v);
        storeLanes<W>(out + k, v);
    };
    alongLine<W>(1, n - 2, n, vector, one);
}

// Samples p[0], p[2], ..., p[2W - 2].
template <int32_t W>
[[gnu::always_inline]] inline void evenSamples(const double* p, Real<W>& v) {
    typename VectorTypes<W>::Mask evens;
    for (int32_t i = 0; i < W; ++i) evens[i] = 2 * i;
    v = shuffleLanes<W>(loadLanes<W>(p), loadLanes<W>(p + W), evens);
}

// n samples in, n / 2 out. Output j reads samples 2j - 2 ... 2j + 2; the
// vector for outputs j ... j + W - 1 reads samples 2j - 2 ... 2(j + W - 1) + 3,
// all inside for 1 <= j and j + W - 1 <= (n - 4) / 2.
template <int32_t W>
void reduceAlong(const double* x, double* out, int32_t n) {
    auto one = [&](int32_t j) {
        const int32_t c = 2 * j;
        const double v = (x[tap(c - 1, n)] + x[tap(c + 1, n)]) * 0.25 + x[c] * 0.375;
        out[j] = roundToSingle(v + (x[tap(c - 2, n)] + x[tap(c + 2, n)]) * 0.0625);
    };
    auto vector = [&](int32_t j) {
        const double* c = x + 2 * j;
        Real<W> x0, x1, x2, x3, x4;
        evenSamples<W>(c - 2, x0);
        evenSamples<W>(c - 1, x1);
        evenSamples<W>(c, x2);
        evenSamples<W>(c + 1, x3);
        evenSamples<W>(c + 2, x4);
        Real<W> v = (x1 + x3) * 0.25 + x2 * 0.375;
        v = v + (x0 + x4) * 0.0625;
        roundLanesToSingle<W>(v);
        storeLanes<W>(out + j, v);
    };
    alongLine<W>(1, n >= 4 ? (n - 4) / 2 : 0, n / 2, vector, one);
}

// The same stencils across rows, for the column passes: output x of a row
// from sample x of the rows it reads, W neighbouring x at a time (any x is
// as good as another: nothing folds along the row), rounded as stored.

// Calls vector(x) for x = 0, W, ... while whole vectors fit, one(x) for the rest.
template <int32_t W, class Vector, class One>
[[gnu::always_inline]] inline void acrossRow(int32_t n, Vector vector, One one) {
    int32_t x = 0;
    for (; x + W <= n; x += W) vector(x);
    for (; x < n; ++x) one(x);
}

// r[reach + d] is the row d away (folded), d = -reach ... reach, reach = K - 1.
template <int K, int32_t W>
void sampleAcross(const double* h, const double* const* r, double* out, int32_t n) {
    double hk[K];
    for (int j = 0; j < K; ++j) hk[j] = h[j];
    constexpr int c = K - 1;
    acrossRow<W>(
        n,
        [&](int32_t x) {
            Real<W> v = (loadLanes<W>(r[c - 1] + x) + loadLanes<W>(r[c + 1] + x)) * hk[1] + loadLanes<W>(r[c] + x) * hk[0];
            if constexpr (K == 4) {
                v = v + (loadLanes<W>(r[c - 2] + x) + loadLanes<W>(r[c + 2] + x)) * hk[2];
                v = v + (loadLanes<W>(r[c - 3] + x) + loadLanes<W>(r[c + 3] + x)) * hk[3];
            }
            roundLanesToSingle<W>(v);
            storeLanes<W>(out + x, v);
        },
        [&](int32_t x) {
            double v = (r[c - 1][x] + r[c + 1][x]) * hk[1] + r[c][x] * hk[0];
            if constexpr (K == 4) {
                v = v + (r[c - 2][x] + r[c + 2][x]) * hk[2];
                v = v + (r[c - 3][x] + r[c + 3][x]) * hk[3];
            }
            out[x] = roundToSingle(v);
        });
}

template <int32_t W>
void differentiateAcross(const double* before, const double* after, double* out, int32_t n) {
    acrossRow<W>(
        n,
        [&](int32_t x) {
            Real<W> v = (loadLanes<W>(after + x) - loadLanes<W>(before + x)) * 0.5;
            roundLanesToSingle<W>(v);
            storeLanes<W>(out + x, v);
        },
        [&](int32_t x) { out[x] = roundToSingle((after[x] - before[x]) * 0.5); });
}

// r[0 ... 4] are the rows 2j - 2 ... 2j + 2 (folded) of output row j.
template <int32_t W>
void reduceAcross(const double* const* r, double* out, int32_t n) {
    acrossRow<W>(
        n,
        [&](int32_t x) {
            Real<W> v = (loadLanes<W>(r[1] + x) + loadLanes<W>(r[3] + x)) * 0.25 + loadLanes<W>(r[2] + x) * 0.375;
            v = v + (loadLanes<W>(r[0] + x) + loadLanes<W>(r[4] + x)) * 0.0625;
            roundLanesToSingle<W>(v);
            storeLanes<W>(out + x, v);
        },
        [&](int32_t x) {
            const double v = (r[1][x] + r[3][x]) * 0.25 + r[2][x] * 0.375;
            out[x] = roundToSingle(v + (r[0][x] + r[4][x]) * 0.0625);
        });
}

// The separable stencils run both passes in one sweep down the image: the
// row pass fills a ring of the last few filtered rows, and each output row
// is made from the rows of the ring its column stencil reaches, as soon as
// they are there. The image is read and written once, where the row pass
// and the column pass each took a trip through it (and column blocks a
// gather and a write-back). A stencil reaching `reach` rows each way reads,
// even folded at the ends, only rows within `reach` of its own, so a ring of
// eight holds every row it needs. The rows start 512 bytes apart modulo
// 4 KiB, out of each other's 4K aliasing.
class RowRing {
public:
    static constexpr int32_t kRows = 8;

    explicit RowRing(int32_t width)
        : stride_((static_cast<std::size_t>(width) + 511) / 512 * 512 + 64),
          storage_(std::make_unique_for_overwrite<double[]>(stride_ * kRows + 8)) {}

    // Where row t of the row pass is kept.
    double* row(int32_t t) {
        const auto base = reinterpret_cast<std::uintptr_t>(storage_.get());
        return reinterpret_cast<double*>((base + 63) / 64 * 64) + stride_ * static_cast<std::size_t>(t % kRows);
    }

private:
    std::size_t stride_;
    std::unique_ptr<double[]> storage_;
};

// Calls rowPass(t) for t = 0 ... height - 1 in order and columnPass(y) for
// each output row y once rowPass has done every row up to lastRowOf(y).
template <class RowPass, class ColumnPass, class LastRow>
void sweep(int32_t height, int32_t outputRows, LastRow lastRowOf, RowPass rowPass, ColumnPass columnPass) {
    int32_t done = 0;
    for (int32_t y = 0; y < outputRows; ++y) {
        const int32_t last = std::min(height - 1, lastRowOf(y));
        for (; done <= last; ++done) rowPass(done);
        columnPass(y);
    }
}

// Whether none of the n values is an infinity or a NaN (all exponent bits
// set), decided a stretch of values at a time with no branch per value.
template <int32_t W>
bool allFinite(const double* v, std::size_t n) {
    using Bits = typename VectorTypes<W>::Mask;
    constexpr int64_t exponent = 0x7ff0000000000000;
    constexpr std::size_t stretch = 256;
    std::size_t i = 0;
    for (; i + stretch <= n; i += stretch) {
        Bits infiniteOrNaN = {};
#pragma GCC unroll 4
        for (std::size_t j = i; j < i + stretch; j += W)
            infiniteOrNaN |= (((Bits)loadLanes<W>(v + j)) & exponent) == exponent;
        for (int32_t l = 0; l < W; ++l)
            if (infiniteOrNaN[l] != 0) return false;
    }
    for (; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// Whether every one of the n values is at most `bound` in magnitude (and so
// finite: a NaN fails every comparison), decided as allFinite is.
template <int32_t W>
bool allWithin(const double* v, std::size_t n, double bound) {
    using Bits = typename VectorTypes<W>::Mask;
    constexpr int64_t magnitude = 0x7fffffffffffffff; // all but the sign bit
    constexpr std::size_t stretch = 256;
    const Real<W> limit = Real<W>{} + bound;
    std::size_t i = 0;
    for (; i + stretch <= n; i += stretch) {
        Bits beyond = {};
#pragma GCC unroll 4
        for (std::size_t j = i; j < i + stretch; j += W)
            beyond |= ~((Real<W>)((Bits)loadLanes<W>(v + j) & magnitude) <= limit);
        for (int32_t l = 0; l < W; ++l)
            if (beyond[l] != 0) return false;
    }
    for (; i < n; ++i)
        if (!(std::fabs(v[i]) <= bound)) return false;
    return true;
}

} // namespace alignopt::lanes
