#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "core/registration/DampedSearch.h"

namespace alignopt {
namespace {

// A stand-in for the kernels: every call with derivatives returns the next
// scripted error and the same H and g, and every set judged is recorded.
struct ScriptedKernel {
    std::vector<double> errors; // start, then one per trial; the last repeats
    Matrix h;
    std::vector<double> g;
    double finalError = std::numeric_limits<double>::quiet_NaN();
    std::vector<LandmarkSet> judged;
    std::vector<LandmarkSet> finalJudged;

    ScriptedKernel(std::vector<double> errors, Matrix h, std::vector<double> g)
        : errors(std::move(errors)), h(std::move(h)), g(std::move(g)) {}

    void run(LandmarkSet& landmarks, int32_t iterationFactor = 10, int32_t levelScale = 1) {
        const int32_t n = h.rows;
        dampedLandmarkSearch(
            landmarks, n, iterationFactor, levelScale, 0.001,
            [&](const LandmarkSet& l, Matrix& hessian, std::span<double> gradient) {
                const std::size_t call = judged.size();
                judged.push_back(l);
                hessian = h;
                for (int32_t a = 0; a < n; ++a) gradient[a] = g[a];
                return errors[std::min(call, errors.size() - 1)];
            },
            [&](const LandmarkSet& l) {
                finalJudged.push_back(l);
                return finalError;
            });
    }
    std::size_t trials() const { return judged.size() - 1; }
};

Matrix diagonal2(double a, double b) {
    Matrix m(2, 2);
    m(0, 0) = a;
    m(1, 1) = b;
    return m;
}

LandmarkSet point(double x, double y) {
    LandmarkSet l(1, 2);
    l(0, 0) = x;
    l(0, 1) = y;
    return l;
}

// The step of each trial is g / ((lambda + 1) h), so the judged positions show
// lambda: accepted, rejected, accepted leave it at 0.25, 1, 0.25.
TEST(DampedLandmarkSearch, DampingFollowsTheOutcomes) {
    ScriptedKernel k{{100, 50, 60, 40, 45}, diagonal2(1, 1), {1, 2}};
    LandmarkSet l = point(10, 20);
    k.run(l, 2, 3); // four trials
    ASSERT_EQ(k.trials(), 4u);
    EXPECT_EQ(k.judged[0], point(10, 20));
    EXPECT_EQ(k.judged[1], point(10 - 0.5, 20 - 1.0));            // lambda 1, from the start
    EXPECT_EQ(k.judged[2], point(9.5 - 1 / 1.25, 19 - 2 / 1.25)); // lambda 0.25 after acceptance
    EXPECT_EQ(k.judged[3], point(9.5 - 0.5, 19 - 1.0));           // back to 1 after rejection, from the best
    EXPECT_EQ(k.judged[4], point(9 - 1 / 1.25, 18 - 2 / 1.25));
    EXPECT_EQ(l, point(9, 18));
}

TEST(DampedLandmarkSearch, TrialLimitGrowsWithLevelScale) {
    const struct {
        int32_t levelScale;
        std::size_t trials;
    } cases[] = {{1, 8}, {2, 18}, {4, 38}};
    for (const auto& c : cases) {
        std::vector<double> falling;
        for (int i = 0; i < 60; ++i) falling.push_back(1000.0 - i);
        ScriptedKernel k{falling, diagonal2(1, 1), {1000, -500}};
        LandmarkSet l = point(0, 0);
        k.run(l, 10, c.levelScale);
        EXPECT_EQ(k.trials(), c.trials) << c.levelScale;
        EXPECT_EQ(k.finalJudged.size(), 1u);
    }
}

TEST(DampedLandmarkSearch, MoveBelowPrecisionEndsTheLoopWhateverTheOutcome) {
    for (double trialError : {0.5, 2.0}) {
        ScriptedKernel small{{1.0, trialError}, diagonal2(1, 1), {0.0019, 0}}; // move 0.00095
        LandmarkSet l = point(3, 4);
        small.run(l);
        EXPECT_EQ(small.trials(), 1u) << trialError;
    }
    ScriptedKernel enough{{1.0, 0.5, 0.4}, diagonal2(1, 1), {0.002, 0}}; // move exactly 0.001 goes on
    LandmarkSet l = point(3, 4);
    enough.run(l);
    EXPECT_GT(enough.trials(), 1u);
}

TEST(DampedLandmarkSearch, EqualErrorsAreNeverAccepted) {
    ScriptedKernel k{{5.0}, diagonal2(1, 1), {1, 1}};
    k.finalError = 5.0;
    LandmarkSet l = point(7, 8);
    k.run(l, 1, 5); // three trials
    ASSERT_EQ(k.trials(), 3u);
    EXPECT_EQ(l, point(7, 8));
    // Every rejection multiplies lambda by 4: steps 1/2, 1/5, 1/17.
    EXPECT_EQ(k.judged[1], point(7 - 0.5, 8 - 0.5));
    EXPECT_EQ(k.judged[2], point(7 - 1 / 5.0, 8 - 1 / 5.0));
    EXPECT_EQ(k.judged[3], point(7 - 1 / 17.0, 8 - 1 / 17.0));
}

TEST(DampedLandmarkSearch, NaNAtTheStartIsNeverImprovedOn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ScriptedKernel k{{nan, 1.0, 0.5}, diagonal2(1, 1), {1, 1}};
    k.finalError = 0.0;
    LandmarkSet l = point(7, 8);
    k.run(l);
    EXPECT_EQ(l, point(7, 8));
}

TEST(DampedLandmarkSearch, IdenticalImagesLeaveTheLandmarksAlone) {
    // Zero residuals: g = 0, the trial repeats the landmarks, its error is not
    // lower, the zero move ends the loop and the zero final step is rejected.
    ScriptedKernel k{{0.0}, diagonal2(3, 4), {0, 0}};
    k.finalError = 0.0;
    LandmarkSet l = point(50, 40);
    k.run(l);
    EXPECT_EQ(k.trials(), 1u);
    EXPECT_EQ(k.judged[1], point(50, 40));
    EXPECT_EQ(l, point(50, 40));
}

// Inside the loop only the diagonal of H counts; the final step solves with
// the whole matrix of the last trial.
TEST(DampedLandmarkSearch, LoopIgnoresTheCrossTermAndTheFinalStepUsesIt) {
    Matrix h(2, 2);
    h.values = {2, 1, 1, 2};
    ScriptedKernel k{{10.0, 20.0}, h, {1, 0}};
    k.finalError = 1.0;
    LandmarkSet l = point(5, 5);
    k.run(l, 1, 2); // one trial
    ASSERT_EQ(k.trials(), 1u);
    EXPECT_EQ(k.judged[1], point(5 - 0.25, 5));
    ASSERT_EQ(k.finalJudged.size(), 1u);
    EXPECT_NEAR(k.finalJudged[0](0, 0), 5 - 2.0 / 3.0, 1e-15);
    EXPECT_NEAR(k.finalJudged[0](0, 1), 5 + 1.0 / 3.0, 1e-15);
    EXPECT_EQ(l, k.finalJudged[0]);
}

} // namespace
} // namespace alignopt
