#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/Driver.h"
#include "core/registration/Landmarks.h"
#include "core/registration/Registration.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RegistrationOptions.h"

namespace alignopt {
namespace {

constexpr TransformationType families[] = {TransformationType::Translation, TransformationType::RigidBody,
                                           TransformationType::ScaledRotation, TransformationType::Affine,
                                           TransformationType::Bilinear};

// Smooth content without periodic structure: Gaussian blobs at places drawn
// from a fixed sequence, evaluated at any position, so that an image seen
// through a known map is exact.
struct Blobs {
    struct Blob {
        double x, y, width, amplitude;
    };
    std::vector<Blob> blobs;

    Blobs(int32_t count, double extent) {
        uint64_t state = 12345;
        const auto next = [&] {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return static_cast<double>(state >> 11) / 9007199254740992.0;
        };
        for (int32_t k = 0; k < count; ++k)
            blobs.push_back({next() * extent, next() * extent, 3.0 + 5.0 * next(), 20.0 + 80.0 * next()});
    }
    double operator()(double x, double y) const {
        double v = 10.0;
        for (const Blob& b : blobs) {
            const double dx = x - b.x, dy = y - b.y;
            v += b.amplitude * std::exp(-(dx * dx + dy * dy) / (2.0 * b.width * b.width));
        }
        return v;
    }
};

// A (2, 3) map in the result's layout: position p goes to (t + A p).
struct Affine {
    double tx, a, b, ty, c, d;
};

Affine aboutCentre(double degrees, double scale, double shiftX, double shiftY, double centre) {
    const double r = degrees * 3.14159265358979323846 / 180.0;
    const double a = scale * std::cos(r), b = -scale * std::sin(r), c = scale * std::sin(r), d = scale * std::cos(r);
    return {centre + shiftX - (a * centre + b * centre), a, b, centre + shiftY - (c * centre + d * centre), c, d};
}

Matrix asMatrix(const Affine& m) {
    Matrix out(2, 3);
    out(0, 0) = m.tx, out(0, 1) = m.a, out(0, 2) = m.b;
    out(1, 0) = m.ty, out(1, 1) = m.c, out(1, 2) = m.d;
    return out;
}

// target(p) = f(p) and source(map(p)) = target(p): the source is f through
// the inverse map.
struct Pair {
    std::vector<double> target, source;
};

Pair pairThrough(const Blobs& f, const Affine& m, int32_t size) {
    Pair pair;
    const double det = m.a * m.d - m.b * m.c;
    for (int32_t y = 0; y < size; ++y)
        for (int32_t x = 0; x < size; ++x) {
            pair.target.push_back(f(x, y));
            const double qx = x - m.tx, qy = y - m.ty;
            pair.source.push_back(f((m.d * qx - m.b * qy) / det, (-m.c * qx + m.a * qy) / det));
        }
    return pair;
}

// Largest distance over the image between where `result` and `truth` send a pixel.
double mappingError(const Matrix& result, const Affine& truth, int32_t size) {
    double worst = 0.0;
    for (int32_t y = 0; y < size; ++y)
        for (int32_t x = 0; x < size; ++x) {
            double rx = result(0, 0), ry = result(1, 0);
            if (result.columns == 1) {
                rx += x, ry += y;
            } else {
                rx += result(0, 1) * x + result(0, 2) * y;
                ry += result(1, 1) * x + result(1, 2) * y;
                if (result.columns == 4) rx += result(0, 3) * x * y, ry += result(1, 3) * x * y;
            }
            const double tx = truth.tx + truth.a * x + truth.b * y, ty = truth.ty + truth.c * x + truth.d * y;
            worst = std::fmax(worst, std::hypot(rx - tx, ry - ty));
        }
    return worst;
}

bool sameBits(const Matrix& a, const Matrix& b) {
    return a.rows == b.rows && a.columns == b.columns &&
           std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)) == 0;
}

// The registration as built before options existed: pyramids, masks known
// non-zero everywhere, the placed landmarks and the coarse-to-fine run.
RegistrationResult plainRegistration(const std::vector<double>& t, const std::vector<double>& s,
                                     TransformationType type, int32_t width, int32_t height) {
    SplineImage target(t.data(), width, height, type, true);
    SplineImage source(s.data(), width, height, type, false);
    const LandmarkSet targetLandmarks = placeLandmarks(width, height, type);
    LandmarkSet sourceLandmarks = placeLandmarks(width, height, type);
    ImageMask targetMask = ImageMask::everywhere(width, height, 1);
    ImageMask sourceMask = ImageMask::everywhere(width, height, 1);
    const int32_t depth = pyramidDepthFor(width, height);
    target.depth = source.depth = targetMask.depth = sourceMask.depth = depth;
    target.buildPyramids();
    source.buildPyramids();
    RegistrationEngine engine(source, sourceMask, sourceLandmarks, target, targetMask, targetLandmarks, type);
    engine.runLevels();
    RegistrationResult result;
    result.matrix = transformationFromLandmarks(type, engine.targetLandmarks, engine.sourceLandmarks);
    result.targetLandmarks = targetLandmarks;
    result.sourceLandmarks = sourceLandmarks;
    return result;
}

TEST(RegistrationOptions, WithoutOptionsOrWithMasksKeepingEveryPixelTheResultIsThePlainOneBitForBit) {
    const struct {
        int32_t width, height;
    } sizes[] = {{1, 1}, {2, 3}, {23, 24}, {47, 31}, {64, 64}};
    uint64_t state = 99;
    for (const auto& size : sizes) {
        const Blobs f(12, 64.0);
        const std::size_t n = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
        std::vector<double> target(n), source(n), ones(n), odd(n);
        for (std::size_t i = 0; i < n; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const double noise = static_cast<double>(state >> 40) / 16777216.0;
            const double x = static_cast<double>(i % static_cast<std::size_t>(size.width));
            const double y = static_cast<double>(i / static_cast<std::size_t>(size.width));
            target[i] = f(x, y) + noise;
            source[i] = f(x + 0.6, y - 0.3) + noise;
            ones[i] = 1.0;
            // Any non-zero value keeps a pixel, however large or small.
            const double kept[] = {1.0, -2.0, 1e-300, 1e300};
            odd[i] = kept[i % 4];
        }
        for (const TransformationType type : families) {
            const RegistrationResult plain = plainRegistration(target, source, type, size.width, size.height);
            RegistrationOptions withOnes;
            withOnes.targetMask = ones;
            withOnes.sourceMask = odd;
            for (const RegistrationOptions& options : {RegistrationOptions{}, withOnes}) {
                const RegistrationOutcome outcome =
                    registerWithOptions(target.data(), source.data(), type, size.width, size.height, options);
                const auto where = ::testing::Message() << size.width << "x" << size.height << " family "
                                                        << static_cast<int>(type);
                EXPECT_TRUE(sameBits(outcome.registration.matrix, plain.matrix)) << where;
                EXPECT_TRUE(sameBits(outcome.registration.targetLandmarks, plain.targetLandmarks)) << where;
                EXPECT_TRUE(sameBits(outcome.registration.sourceLandmarks, plain.sourceLandmarks)) << where;
                EXPECT_EQ(outcome.pixels == 0, std::isnan(outcome.error)) << where;
            }
        }
    }
}

constexpr int32_t side = 96;

// A bright occluder in the source only, over a quarter of the image.
void occlude(std::vector<double>& image, std::vector<double>* mask) {
    for (int32_t y = 10; y < 55; ++y)
        for (int32_t x = 15; x < 60; ++x) {
            image[static_cast<std::size_t>(y) * side + x] = 900.0;
            if (mask != nullptr) (*mask)[static_cast<std::size_t>(y) * side + x] = 0.0;
        }
}

TEST(RegistrationOptions, AMaskOverAnOccluderRecoversTheMapThatTheUnmaskedRunMisses) {
    const Blobs f(60, side);
    const Affine truth = aboutCentre(3.0, 1.0, 2.6, -1.7, side / 2.0);
    for (const TransformationType type : families) {
        const Affine expected = type == TransformationType::Translation ? Affine{2.6, 1, 0, -1.7, 0, 1} : truth;
        Pair pair = pairThrough(f, expected, side);
        std::vector<double> mask(pair.source.size(), 1.0);
        occlude(pair.source, &mask);
        const RegistrationOutcome unmasked =
            registerWithOptions(pair.target.data(), pair.source.data(), type, side, side, {});
        RegistrationOptions options;
        options.sourceMask = mask;
        const RegistrationOutcome masked =
            registerWithOptions(pair.target.data(), pair.source.data(), type, side, side, options);
        EXPECT_GT(mappingError(unmasked.registration.matrix, expected, side), 1.0) << static_cast<int>(type);
        EXPECT_LT(mappingError(masked.registration.matrix, expected, side), 0.05) << static_cast<int>(type);
        EXPECT_LT(masked.pixels, side * side - 45 * 45 + 1);
        EXPECT_LT(masked.error, unmasked.error);
    }
}

TEST(RegistrationOptions, NaNPixelsAreLeftOutAsMaskedOnesAre) {
    const Blobs f(60, side);
    const Affine truth = aboutCentre(-2.0, 1.0, -1.3, 2.2, side / 2.0);
    for (const TransformationType type : families) {
        const Affine expected = type == TransformationType::Translation ? Affine{-1.3, 1, 0, 2.2, 0, 1} : truth;
        Pair pair = pairThrough(f, expected, side);
        std::vector<double> holed = pair.source;
        std::vector<double> mask(pair.source.size(), 1.0);
        occlude(pair.source, &mask);
        occlude(holed, nullptr);
        for (double& v : holed)
            if (v == 900.0) v = std::numeric_limits<double>::quiet_NaN();
        const RegistrationOutcome byNaN =
            registerWithOptions(pair.target.data(), holed.data(), type, side, side, {});
        RegistrationOptions options;
        options.sourceMask = mask;
        const RegistrationOutcome byMask =
            registerWithOptions(pair.target.data(), pair.source.data(), type, side, side, options);
        EXPECT_TRUE(sameBits(byNaN.registration.matrix, byMask.registration.matrix)) << static_cast<int>(type);
        EXPECT_EQ(byNaN.pixels, byMask.pixels);
        EXPECT_LT(mappingError(byNaN.registration.matrix, expected, side), 0.05) << static_cast<int>(type);
    }
}

TEST(RegistrationOptions, AnInitialMapNearALargeMotionRecoversWhatTheIdentityStartMisses) {
    const Blobs f(60, side);
    const Affine truth = aboutCentre(60.0, 1.05, 6.0, -4.0, side / 2.0);
    const Affine shift{21.0, 1, 0, -16.0, 0, 1};
    for (const TransformationType type : families) {
        const bool translation = type == TransformationType::Translation;
        const bool rigid = type == TransformationType::RigidBody;
        const Affine expected =
            translation ? shift : rigid ? aboutCentre(60.0, 1.0, 6.0, -4.0, side / 2.0) : truth;
        const Pair pair = pairThrough(f, expected, side);
        // A rough guess, as a global estimate would give it; bilinear takes it
        // as a (2, 4) map.
        Matrix start = asMatrix(translation ? Affine{18.0, 1, 0, -13.0, 0, 1}
                                            : aboutCentre(55.0, 1.0, 3.0, -1.0, side / 2.0));
        if (type == TransformationType::Bilinear) {
            Matrix wide(2, 4);
            for (int32_t r = 0; r < 2; ++r)
                for (int32_t c = 0; c < 3; ++c) wide(r, c) = start(r, c);
            start = wide;
        }
        RegistrationOptions options;
        options.initial = &start;
        const RegistrationOutcome fromIdentity =
            registerWithOptions(pair.target.data(), pair.source.data(), type, side, side, {});
        const RegistrationOutcome fromStart =
            registerWithOptions(pair.target.data(), pair.source.data(), type, side, side, options);
        EXPECT_GT(mappingError(fromIdentity.registration.matrix, expected, side), 3.0) << static_cast<int>(type);
        EXPECT_LT(mappingError(fromStart.registration.matrix, expected, side), 0.05) << static_cast<int>(type);
        EXPECT_LT(fromStart.error, fromIdentity.error);
    }
}

TEST(RegistrationOptions, OptionsThatLeaveTooFewPixelsOrAreNotFiniteAreRefused) {
    const int32_t w = 8, h = 6;
    std::vector<double> image(static_cast<std::size_t>(w * h), 1.0);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<double>(i % 5);
    std::vector<double> keepSix(image.size(), 0.0), keepFive(image.size(), 0.0), withNaN(image.size(), 1.0);
    for (int k = 0; k < 6; ++k) keepSix[static_cast<std::size_t>(k)] = 1.0;
    for (int k = 0; k < 5; ++k) keepFive[static_cast<std::size_t>(k)] = 1.0;
    withNaN[7] = std::numeric_limits<double>::quiet_NaN();
    Matrix nanStart(2, 1);
    nanStart(0, 0) = std::numeric_limits<double>::quiet_NaN();
    Matrix wrongShape(2, 2);
    const auto run = [&](std::span<const double> targetMask, std::span<const double> sourceMask,
                         const Matrix* initial) {
        RegistrationOptions options;
        options.targetMask = targetMask;
        options.sourceMask = sourceMask;
        options.initial = initial;
        return registerWithOptions(image.data(), image.data(), TransformationType::Affine, w, h, options);
    };
    EXPECT_NO_THROW(run(keepSix, keepSix, nullptr)); // exactly the affine family's six
    EXPECT_THROW(run(keepFive, {}, nullptr), OptionError);
    EXPECT_THROW(run({}, withNaN, nullptr), OptionError);
    EXPECT_THROW(run({}, {}, &nanStart), OptionError);
    EXPECT_THROW(run({}, {}, &wrongShape), OptionError);
    std::vector<double> infinite = image;
    infinite[3] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(registerWithOptions(image.data(), infinite.data(), TransformationType::Affine, w, h, {}),
                 OptionError);
    RegistrationOptions negativeLevels;
    negativeLevels.maximumLevels = -1;
    EXPECT_THROW(registerWithOptions(image.data(), image.data(), TransformationType::Affine, w, h, negativeLevels),
                 OptionError);
}

} // namespace
} // namespace alignopt
