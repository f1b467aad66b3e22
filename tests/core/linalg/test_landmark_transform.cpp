#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "core/linalg/LandmarkTransform.h"

namespace alignopt {
namespace {

LandmarkSet landmarks(std::vector<double> xy) {
    LandmarkSet set(static_cast<int32_t>(xy.size() / 2), 2);
    set.values = std::move(xy);
    return set;
}

struct Point {
    double x, y;
};

Point apply(const Matrix& m, double x, double y) {
    if (m.columns == 1) return {x + m(0, 0), y + m(1, 0)};
    Point p{m(0, 0) + m(0, 1) * x + m(0, 2) * y, m(1, 0) + m(1, 1) * x + m(1, 2) * y};
    if (m.columns == 4) {
        p.x += m(0, 3) * x * y;
        p.y += m(1, 3) * x * y;
    }
    return p;
}

// The initial placements on a 100 x 80 image.
const LandmarkSet translationSet = landmarks({50, 40});
const LandmarkSet rigidSet = landmarks({50, 40, 50, 20, 50, 60});
const LandmarkSet scaledRotationSet = landmarks({25, 40, 75, 40});
const LandmarkSet affineSet = landmarks({50, 20, 25, 60, 75, 60});
const LandmarkSet bilinearSet = landmarks({15, 12, 15, 68, 85, 12, 85, 68});

struct FamilyCase {
    TransformationType type;
    const LandmarkSet* set;
};
const FamilyCase families[] = {{TransformationType::Translation, &translationSet},
                               {TransformationType::RigidBody, &rigidSet},
                               {TransformationType::ScaledRotation, &scaledRotationSet},
                               {TransformationType::Affine, &affineSet},
                               {TransformationType::Bilinear, &bilinearSet}};

TEST(TransformationFromLandmarks, EqualSetsGiveTheIdentity) {
    for (const auto& f : families) {
        const Matrix m = transformationFromLandmarks(f.type, *f.set, *f.set);
        SCOPED_TRACE(static_cast<int>(f.type));
        ASSERT_EQ(m.rows, 2);
        if (f.type == TransformationType::Translation || f.type == TransformationType::RigidBody) {
            // No inversion involved: exact.
            std::vector<double> expected = f.type == TransformationType::Translation
                                               ? std::vector<double>{0, 0}
                                               : std::vector<double>{0, 1, 0, 0, 0, 1};
            EXPECT_EQ(m.values, expected);
            continue;
        }
        ASSERT_EQ(m.columns, f.type == TransformationType::Bilinear ? 4 : 3);
        for (int32_t r = 0; r < 2; ++r)
            for (int32_t c = 0; c < m.columns; ++c)
                EXPECT_NEAR(m(r, c), c == r + 1 ? 1.0 : 0.0, 1e-12) << r << "," << c;
    }
}

TEST(TransformationFromLandmarks, MapsTheUsedLandmarksExactly) {
    const LandmarkSet q2 = landmarks({52.25, 37.5});
    const Matrix t = transformationFromLandmarks(TransformationType::Translation, translationSet, q2);
    EXPECT_EQ(t.values, (std::vector<double>{2.25, -2.5}));

    const LandmarkSet q6 = landmarks({53, 18, 20, 66, 80, 61});
    const Matrix a = transformationFromLandmarks(TransformationType::Affine, affineSet, q6);
    const LandmarkSet q8 = landmarks({14, 10, 17, 70, 88, 13, 84, 71});
    const Matrix b = transformationFromLandmarks(TransformationType::Bilinear, bilinearSet, q8);
    for (int32_t k = 0; k < 4; ++k) {
        if (k < 3) {
            const Point p = apply(a, affineSet(k, 0), affineSet(k, 1));
            EXPECT_NEAR(p.x, q6(k, 0), 1e-11);
            EXPECT_NEAR(p.y, q6(k, 1), 1e-11);
        }
        const Point p = apply(b, bilinearSet(k, 0), bilinearSet(k, 1));
        EXPECT_NEAR(p.x, q8(k, 0), 1e-11);
        EXPECT_NEAR(p.y, q8(k, 1), 1e-11);
    }
}

// Turning the placement through +30 degrees about landmark 0 (in the plain
// (x, y) sense) must give phi = 30 degrees, so m(1,1) = sin 30 = 0.5.
TEST(TransformationFromLandmarks, RigidBodyRecoversThirtyDegrees) {
    const double c = std::cos(std::numbers::pi / 6), s = std::sin(std::numbers::pi / 6);
    std::vector<double> turned;
    for (int32_t k = 0; k < 3; ++k) {
        const double dx = rigidSet(k, 0) - 50, dy = rigidSet(k, 1) - 40;
        turned.push_back(50 + (c * dx - s * dy));
        turned.push_back(40 + (s * dx + c * dy));
    }
    const Matrix m = transformationFromLandmarks(TransformationType::RigidBody, rigidSet, landmarks(turned));
    EXPECT_NEAR(m(1, 1), 0.5, 1e-15);
    EXPECT_EQ(m(0, 1), m(1, 2));
    EXPECT_EQ(m(0, 2), -m(1, 1));
    for (int32_t k = 0; k < 3; ++k) {
        const Point p = apply(m, rigidSet(k, 0), rigidSet(k, 1));
        EXPECT_NEAR(p.x, turned[2 * k], 1e-12);
        EXPECT_NEAR(p.y, turned[2 * k + 1], 1e-12);
    }
}

TEST(TransformationFromLandmarks, RigidBodyIgnoresScale) {
    // Q's landmarks 1 and 2 are twice as far apart: still a pure rotation
    // (here none), and only landmark 0 lands on its partner.
    const LandmarkSet q = landmarks({60, 45, 60, 5, 60, 85});
    const Matrix m = transformationFromLandmarks(TransformationType::RigidBody, rigidSet, q);
    EXPECT_EQ(m.values, (std::vector<double>{10, 1, -0.0, 5, 0, 1}));
    const Point p2 = apply(m, 50, 60);
    EXPECT_EQ(p2.y, 65.0);
}

TEST(TransformationFromLandmarks, ScaledRotationExample) {
    const Matrix m = transformationFromLandmarks(TransformationType::ScaledRotation, landmarks({0, 0, 1, 0}),
                                                 landmarks({0, 0, 0, 2}));
    const double expected[2][3] = {{0, 0, -2}, {0, 2, 0}};
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t c = 0; c < 3; ++c) EXPECT_NEAR(m(r, c), expected[r][c], 1e-15) << r << "," << c;
}

TEST(TransformationFromLandmarks, DegenerateLandmarksGiveNonFiniteMatrices) {
    const auto nonFinite = [](const Matrix& m) {
        for (double v : m.values)
            if (!std::isfinite(v)) return true;
        return false;
    };
    const LandmarkSet q3 = landmarks({1, 2, 3, 4, 5, 7});
    EXPECT_TRUE(nonFinite(transformationFromLandmarks(TransformationType::Affine, landmarks({0, 0, 1, 1, 2, 2}), q3)));
    EXPECT_TRUE(nonFinite(
        transformationFromLandmarks(TransformationType::ScaledRotation, landmarks({3, 4, 3, 4}), landmarks({0, 0, 1, 0}))));
    // Coinciding rigid-body landmarks 1 and 2 give atan2(0, 0) = 0: still defined.
    const Matrix rigid =
        transformationFromLandmarks(TransformationType::RigidBody, landmarks({1, 1, 1, 0, 1, 0}), landmarks({1, 1, 1, 0, 1, 2}));
    EXPECT_FALSE(nonFinite(rigid));
}

TEST(TransformationFromLandmarks, OppositeDirectionsAreInverses) {
    const LandmarkSet q2 = landmarks({47.5, 44.125});
    const LandmarkSet q3 = landmarks({52, 41, 45, 22, 59, 59});
    const LandmarkSet q4 = landmarks({30, 35, 71, 52});
    const LandmarkSet q6 = landmarks({53, 18, 20, 66, 80, 61});
    const FamilyCase cases[][2] = {{{TransformationType::Translation, &translationSet}, {TransformationType::Translation, &q2}},
                                   {{TransformationType::RigidBody, &rigidSet}, {TransformationType::RigidBody, &q3}},
                                   {{TransformationType::ScaledRotation, &scaledRotationSet}, {TransformationType::ScaledRotation, &q4}},
                                   {{TransformationType::Affine, &affineSet}, {TransformationType::Affine, &q6}}};
    for (const auto& c : cases) {
        const Matrix forward = transformationFromLandmarks(c[0].type, *c[0].set, *c[1].set);
        const Matrix backward = transformationFromLandmarks(c[0].type, *c[1].set, *c[0].set);
        for (const Point probe : {Point{0, 0}, Point{99, 0}, Point{13.5, 79}, Point{60, 30}}) {
            const Point there = apply(forward, probe.x, probe.y);
            const Point back = apply(backward, there.x, there.y);
            EXPECT_NEAR(back.x, probe.x, 1e-10) << static_cast<int>(c[0].type);
            EXPECT_NEAR(back.y, probe.y, 1e-10) << static_cast<int>(c[0].type);
        }
    }
}

} // namespace
} // namespace alignopt
