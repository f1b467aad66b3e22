// Cost per pixel of building what a registration needs from an image: the
// cubic coefficients, the pyramids of each role and the mask pyramid, on
// 1024 x 1024 and 2048 x 2048 images; and the row and column halves of the
// prefilter, whose ratio shows what the strided column walk costs.
//
// The filters have no data-dependent branches, so uniform random pixels cost
// the same as a photograph.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/image/BSplineFilters.h"
#include "core/image/ImageMask.h"
#include "core/image/Reduction.h"
#include "core/image/SeparablePasses.h"
#include "core/image/SinglePrecision.h"
#include "core/image/SplineImage.h"

namespace {

using namespace alignopt;

std::vector<double> randomImage(int32_t side, uint64_t seed = 0) {
    std::mt19937_64 rng(seed == 0 ? static_cast<uint64_t>(side) : seed);
    std::uniform_real_distribution<double> dist(0.0, 255.0);
    std::vector<double> v(static_cast<std::size_t>(side) * side);
    for (double& x : v) x = dist(rng);
    return v;
}

// The registration's rule: halve while every size is at least 24.
int32_t registrationDepth(int32_t width, int32_t height) {
    int32_t depth = 1;
    while (width >= 24 && height >= 24) {
        width /= 2;
        height /= 2;
        ++depth;
    }
    return depth;
}

void perPixel(benchmark::State& state, int32_t side) {
    // Inverted rate: seconds per pixel, shown with its prefix (e.g. "4.5ns").
    state.counters["per_pixel"] = benchmark::Counter(
        static_cast<double>(side) * side,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void sizes(benchmark::internal::Benchmark* b) { b->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond); }

void BM_ComputeCoefficients(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> pixels = randomImage(side);
    SplineImage image(pixels.data(), side, side, TransformationType::Affine, false);
    for (auto _ : state) {
        image.computeCoefficients();
        benchmark::DoNotOptimize(image.coefficients.data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_ComputeCoefficients)->Apply(sizes);

// Whole buildPyramids of a fresh image, coefficients included, as the
// registration calls it.
void buildPyramidsFor(benchmark::State& state, TransformationType type, bool isTarget) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> pixels = randomImage(side);
    for (auto _ : state) {
        SplineImage image(pixels.data(), side, side, type, isTarget);
        image.depth = registrationDepth(side, side);
        image.buildPyramids();
        benchmark::DoNotOptimize(image.levels.back().values.data());
    }
    perPixel(state, side);
}

void BM_BuildPyramids_Coefficient(benchmark::State& state) {
    buildPyramidsFor(state, TransformationType::Affine, true);
}
void BM_BuildPyramids_SampleAndGradient(benchmark::State& state) {
    buildPyramidsFor(state, TransformationType::Affine, false);
}
void BM_BuildPyramids_Sample(benchmark::State& state) {
    buildPyramidsFor(state, TransformationType::Bilinear, true);
}
BENCHMARK(BM_BuildPyramids_Coefficient)->Apply(sizes);
BENCHMARK(BM_BuildPyramids_SampleAndGradient)->Apply(sizes);
BENCHMARK(BM_BuildPyramids_Sample)->Apply(sizes);

void BM_BuildMaskPyramid(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        ImageMask mask(side, side, registrationDepth(side, side), 1.0);
        mask.buildMaskPyramid();
        benchmark::DoNotOptimize(mask.levels.back().data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_BuildMaskPyramid)->Apply(sizes);

// Row pass against column pass of the prefilter, both degrees (second argument).
void BM_PrefilterRows(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const auto degree = static_cast<SplineDegree>(state.range(1));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> out(pixels.size());
    for (auto _ : state) {
        prefilterRows(pixels.data(), out.data(), side, side, degree);
        benchmark::DoNotOptimize(out.data());
    }
    perPixel(state, side);
}

void BM_PrefilterColumns(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const auto degree = static_cast<SplineDegree>(state.range(1));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> image(pixels.size());
    for (auto _ : state) {
        state.PauseTiming();
        image = pixels; // the pass works in place
        state.ResumeTiming();
        prefilterColumns(image.data(), side, side, degree);
        benchmark::DoNotOptimize(image.data());
    }
    perPixel(state, side);
}

// The obvious column pass, one column at a time through the line operation,
// for comparison with the blocked pass above.
void BM_PrefilterColumnsOneByOne(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const auto degree = static_cast<SplineDegree>(state.range(1));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> image(pixels.size());
    std::vector<double> line(static_cast<std::size_t>(side));
    for (auto _ : state) {
        state.PauseTiming();
        image = pixels;
        state.ResumeTiming();
        for (int32_t x = 0; x < side; ++x) {
            for (int32_t y = 0; y < side; ++y) line[y] = image[static_cast<std::size_t>(y) * side + x];
            prefilterLine(line, degree);
            for (int32_t y = 0; y < side; ++y) image[static_cast<std::size_t>(y) * side + x] = roundToSingle(line[y]);
        }
        benchmark::DoNotOptimize(image.data());
    }
    perPixel(state, side);
}

void passArgs(benchmark::internal::Benchmark* b) {
    for (const int64_t side : {1024, 2048})
        for (const int64_t degree : {3, 7}) b->Args({side, degree});
    b->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_PrefilterRows)->Apply(passArgs);
BENCHMARK(BM_PrefilterColumns)->Apply(passArgs);
BENCHMARK(BM_PrefilterColumnsOneByOne)->Apply(passArgs);

} // namespace

namespace {

// The pieces a pyramid level is made of, at full size.
void BM_SampleImage(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const auto degree = static_cast<SplineDegree>(state.range(1));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> out(pixels.size());
    for (auto _ : state) {
        sampleImage(pixels.data(), out.data(), side, side, degree);
        benchmark::DoNotOptimize(out.data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_SampleImage)->Apply(passArgs);

void BM_ReduceImage(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> pixels = randomImage(side);
    for (auto _ : state) {
        ImageBuffer r = reduceImage(pixels.data(), side, side);
        benchmark::DoNotOptimize(r.data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_ReduceImage)->Apply(sizes);

void BM_GradientsFromCoefficients(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> gx(pixels.size());
    std::vector<double> gy(pixels.size());
    for (auto _ : state) {
        gradientsFromCoefficients(pixels.data(), gx.data(), gy.data(), side, side);
        benchmark::DoNotOptimize(gy.data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_GradientsFromCoefficients)->Apply(sizes);

void BM_GradientsFromSamples(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> pixels = randomImage(side);
    std::vector<double> gx(pixels.size());
    std::vector<double> gy(pixels.size());
    for (auto _ : state) {
        gradientsFromSamples(pixels.data(), gx.data(), gy.data(), side, side);
        benchmark::DoNotOptimize(gy.data());
    }
    perPixel(state, side);
}
BENCHMARK(BM_GradientsFromSamples)->Apply(sizes);

} // namespace

namespace {

// What a registration builds before its first level: the check of the
// pixels' range, which stands for that of the filtered values, then the
// target as the model (coefficient pyramid) and the source with samples and
// gradients.
void BM_RegistrationPyramids(benchmark::State& state) {
    const auto side = static_cast<int32_t>(state.range(0));
    const std::vector<double> target = randomImage(side);
    const std::vector<double> source = randomImage(side, 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(allWithin(target, filterSafeMagnitude) && allWithin(source, filterSafeMagnitude));
        SplineImage t(target.data(), side, side, TransformationType::RigidBody, true);
        SplineImage s(source.data(), side, side, TransformationType::RigidBody, false);
        t.depth = s.depth = registrationDepth(side, side);
        t.buildPyramids();
        s.buildPyramids();
        benchmark::DoNotOptimize(t.levels.size() + s.levels.size());
    }
    perPixel(state, side);
}
BENCHMARK(BM_RegistrationPyramids)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);

} // namespace
