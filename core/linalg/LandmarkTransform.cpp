// The matrices of the families from pairs of landmark sets.
#include "core/linalg/LandmarkTransform.h"

#include <cmath>

#include "core/linalg/Inversion.h"

namespace alignopt {

namespace {

// Solves G * m = q for both output rows, where row k of G is the monomials of
// landmark k of `from` (1, x, y and, for bilinear, x*y).
Matrix solveMonomialSystem(const double (*from)[2], const double (*to)[2], int32_t count) {
    Matrix g(count, count);
    for (int32_t k = 0; k < count; ++k) {
        g(k, 0) = 1.0;
        g(k, 1) = from[k][0];
        g(k, 2) = from[k][1];
        if (count == 4) g(k, 3) = from[k][0] * from[k][1];
    }
    invertMatrix(g);
    Matrix m(2, count);
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t j = 0; j < count; ++j) {
            double sum = 0.0;
            for (int32_t k = 0; k < count; ++k) sum += g(j, k) * to[k][r];
            m(r, j) = sum;
        }
    return m;
}

} // namespace

Matrix transformationFromLandmarks(TransformationType type, const LandmarkSet& from, const LandmarkSet& to) {
    const auto p = [&](int32_t k, int32_t c) { return from(k, c); };
    const auto q = [&](int32_t k, int32_t c) { return to(k, c); };
    switch (type) {
    case TransformationType::Translation: {
        Matrix m(2, 1);
        m(0, 0) = q(0, 0) - p(0, 0);
        m(1, 0) = q(0, 1) - p(0, 1);
        return m;
    }
    case TransformationType::RigidBody: {
        // Angles are measured from the y axis: the x difference is atan2's first argument.
        const double thetaP = std::atan2(p(2, 0) - p(1, 0), p(2, 1) - p(1, 1));
        const double thetaQ = std::atan2(q(2, 0) - q(1, 0), q(2, 1) - q(1, 1));
        const double phi = thetaP - thetaQ;
        const double c = std::cos(phi);
        const double s = std::sin(phi);
        Matrix m(2, 3);
        m(0, 0) = q(0, 0) - c * p(0, 0) + s * p(0, 1);
        m(0, 1) = c;
        m(0, 2) = -s;
        m(1, 0) = q(0, 1) - s * p(0, 0) - c * p(0, 1);
        m(1, 1) = s;
        m(1, 2) = c;
        return m;
    }
    case TransformationType::ScaledRotation: {
        // A third landmark: landmark 0 turned a quarter about landmark 1.
        const double pp[3][2] = {{p(0, 0), p(0, 1)},
                                 {p(1, 0), p(1, 1)},
                                 {(p(0, 1) - p(1, 1)) + p(1, 0), (p(1, 1) + p(1, 0)) - p(0, 0)}};
        const double qq[3][2] = {{q(0, 0), q(0, 1)},
                                 {q(1, 0), q(1, 1)},
                                 {(q(0, 1) - q(1, 1)) + q(1, 0), (q(1, 1) + q(1, 0)) - q(0, 0)}};
        return solveMonomialSystem(pp, qq, 3);
    }
    case TransformationType::Affine:
    case TransformationType::Bilinear: {
        const int32_t count = type == TransformationType::Affine ? 3 : 4;
        double pp[4][2];
        double qq[4][2];
        for (int32_t k = 0; k < count; ++k) {
            pp[k][0] = p(k, 0);
            pp[k][1] = p(k, 1);
            qq[k][0] = q(k, 0);
            qq[k][1] = q(k, 1);
        }
        return solveMonomialSystem(pp, qq, count);
    }
    }
    return Matrix();
}

} // namespace alignopt
