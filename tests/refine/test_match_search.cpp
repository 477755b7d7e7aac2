// Local point search and its coarse-to-fine start on a texture moved by a
// known whole-pixel step: the walk and the pyramid both find the step.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <string>

#include "flow_metrics.h"
#include "refine/coarse_to_fine.h"
#include "refine/match_search.h"

using namespace ulk;
using namespace ulk::bench;

namespace {

// A textured pair, the newer frame showing the older one moved by (dx, dy),
// with the integral images and the frame pyramid of both.
struct Pair {
    flowmetrics::ShiftedPair frames;
    cv::Mat integralA, integralB;
    CvMat headerA, headerB;
    MatchLevel full;
};

void makePair(Pair* pair, cv::Size size, int dx, int dy)
{
    pair->frames = flowmetrics::makeShiftedPair(size, dx, dy, 5);
    cv::integral(pair->frames.older, pair->integralA, CV_32S);
    cv::integral(pair->frames.newer, pair->integralB, CV_32S);
    pair->headerA = cvMat(pair->integralA);
    pair->headerB = cvMat(pair->integralB);
    pair->full = {&pair->headerA, &pair->headerB, size.width, size.height};
}

struct WalkCase {
    int dx, dy;         // the true step
    int startX, startY; // where the walk begins
};

class MatchSearchWalk : public testing::TestWithParam<WalkCase> {};

// From a start a few pixels off, the walk reaches the true step with the
// least cost of its neighbourhood.
TEST_P(MatchSearchWalk, ReachesTheTrueStep)
{
    const WalkCase c = GetParam();
    Pair pair;
    makePair(&pair, cv::Size(200, 160), c.dx, c.dy);
    MatchSearch search;
    ASSERT_TRUE(search.start(pair.full, 100, 80, false));
    uint64_t cost = 0;
    const cv::Point found =
        search.descend(cv::Point(c.startX, c.startY), 8, &cost);
    EXPECT_EQ(found, cv::Point(c.dx, c.dy));
    EXPECT_EQ(cost, search.cost(found));
    for (int oy = -1; oy <= 1; ++oy)
        for (int ox = -1; ox <= 1; ++ox)
            EXPECT_GE(search.cost(found + cv::Point(ox, oy)), cost);
}

INSTANTIATE_TEST_SUITE_P(Steps, MatchSearchWalk,
                         testing::Values(WalkCase{0, 0, 2, -2},
                                         WalkCase{3, -1, 0, 0},
                                         WalkCase{-7, 4, -4, 2},
                                         WalkCase{12, 9, 14, 7}),
                         [](const testing::TestParamInfo<WalkCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(MatchSearch, WindowsOutsideTheFrameHaveNoCost)
{
    Pair pair;
    makePair(&pair, cv::Size(100, 80), 0, 0);
    MatchSearch search;
    // Window origin (4, 4): a velocity of 5 would need origin -1.
    ASSERT_TRUE(search.start(pair.full, 20, 20, false));
    EXPECT_EQ(search.cost(cv::Point(5, 0)), kNoCost);
    EXPECT_EQ(search.cost(cv::Point(0, 5)), kNoCost);
    EXPECT_NE(search.cost(cv::Point(4, 4)), kNoCost);
    // Origin 67 = 100 - 33 fits, 68 does not unless moved inside.
    EXPECT_TRUE(search.start(pair.full, 83, 20, false));
    EXPECT_FALSE(search.start(pair.full, 84, 20, false));
    ASSERT_TRUE(search.start(pair.full, 84, 20, true));
    EXPECT_EQ(search.windowOrigin(), cv::Point(67, 4));
}

struct LongStep {
    int dx, dy;
};

class CoarseToFine : public testing::TestWithParam<LongStep> {};

// Steps beyond the engine's reach of 10 pixels are found within the walk's
// reach of the full-size search.
TEST_P(CoarseToFine, StartsNearStepsBeyondTheEnginesReach)
{
    const LongStep c = GetParam();
    Pair pair;
    makePair(&pair, cv::Size(400, 320), c.dx, c.dy);
    CvMat older = cvMat(pair.frames.older), newer = cvMat(pair.frames.newer);
    FramePyramid frames;
    frames.build(&older, &newer, kMatchLevels);
    MatchPyramid pyramid;
    pyramid.build(frames, &pair.headerA, &pair.headerB);
    ASSERT_EQ(pyramid.levelCount(), kMatchLevels);
    MatchSearch search;
    for (const cv::Point at : {cv::Point(200, 160), cv::Point(150, 200)}) {
        SCOPED_TRACE(std::to_string(at.x) + ", " + std::to_string(at.y));
        const cv::Point start = coarseToFineStart(pyramid, at.x, at.y, &search);
        EXPECT_LE(std::abs(start.x - c.dx), 2);
        EXPECT_LE(std::abs(start.y - c.dy), 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, CoarseToFine,
                         testing::Values(LongStep{17, 0}, LongStep{0, -21},
                                         LongStep{-30, 14}, LongStep{4, 3}),
                         [](const testing::TestParamInfo<LongStep>& info) {
                             return "case" + std::to_string(info.index);
                         });

} // namespace
