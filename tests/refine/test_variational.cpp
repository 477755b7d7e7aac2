// Variational pyramid: the levels chosen for a frame size and settings, the
// per-pixel fusion of the engine's field, a shift recovered from no motion,
// and a motion beyond the pyramid's reach recovered from the engine's field.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "flow_metrics.h"
#include "refine/refine_params.h"
#include "refine/variational.h"

using namespace ulk;
using namespace ulk::bench;

namespace {

struct LevelCase {
    int width, height;
    double scale;
    int coarsest;
    double finest;
    int count; // 0: no level
    cv::Size first, last;
};

class VariationalLevels : public testing::TestWithParam<LevelCase> {};

// From finestScale times the frame (the frame itself when that is below
// coarsestSide) down by pyramidScale, rounded, to the last level whose
// shorter side keeps coarsestSide pixels.
TEST_P(VariationalLevels, ShrinkByTheScaleDownToTheCoarsestSide)
{
    const LevelCase c = GetParam();
    CvULKRefineParams params = defaultRefineParams();
    params.pyramidScale = c.scale;
    params.coarsestSide = c.coarsest;
    params.finestScale = c.finest;
    const std::vector<cv::Size> sizes =
        variationalLevelSizes(c.width, c.height, params);
    ASSERT_EQ(int(sizes.size()), c.count);
    if (c.count == 0)
        return;
    EXPECT_EQ(sizes.front(), c.first);
    EXPECT_EQ(sizes.back(), c.last);
    for (size_t i = 1; i < sizes.size(); ++i) {
        EXPECT_GE(std::min(sizes[i].width, sizes[i].height), c.coarsest);
        EXPECT_LT(sizes[i].width, sizes[i - 1].width);
        EXPECT_NEAR(sizes[i].width, sizes[0].width * std::pow(c.scale, i), 0.5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, VariationalLevels,
    testing::Values(LevelCase{640, 480, 0.8, 8, 0.5, 16, {320, 240}, {11, 8}},
                    LevelCase{640, 480, 0.8, 8, 1.0, 19, {640, 480}, {12, 9}},
                    LevelCase{1920, 1080, 0.8, 8, 0.5, 20, {960, 540}, {14, 8}},
                    LevelCase{584, 388, 0.5, 40, 0.5, 3, {292, 194}, {73, 49}},
                    LevelCase{12, 12, 0.8, 8, 0.5, 3, {12, 12}, {8, 8}},
                    LevelCase{7, 100, 0.8, 8, 0.5, 0, {}, {}}),
    [](const testing::TestParamInfo<LevelCase>& info) {
        return std::to_string(info.param.width) + "x" +
               std::to_string(info.param.height) + "_" +
               std::to_string(info.index);
    });

// Frames of a texture moved by (dx, dy) and the endpoint error of a field
// on the pixels whose target stays inside the frame.
struct Moved {
    flowmetrics::MovedFrames frames;
    double error(const cv::Mat& u, const cv::Mat& v) const
    {
        cv::Mat flow;
        cv::merge(std::vector<cv::Mat>{u, v}, flow);
        return flowmetrics::compareFlow(flow, frames.truth)
            .averageEndpointError;
    }
};

Moved moved(cv::Size size, double dx, double dy)
{
    return {flowmetrics::makeMovedFrames(flowmetrics::makeTexture(size, 9),
                                         cv::Matx23d(1, 0, dx, 0, 1, dy))};
}

// A candidate takes a pixel only where it moves the newer frame onto the
// older one clearly better: the true field replaces a wrong one wherever
// the texture tells them apart (not on flat shapes, where both warp
// alike), a wrong one replaces the true field nowhere away from the
// borders, where the true field's targets leave the frame.
TEST(Variational, FusionTakesTheFieldThatWarpsClearlyBetter)
{
    const Moved m = moved(cv::Size(160, 120), 3, -2);
    const cv::Size size = m.frames.older.size();
    const cv::Mat trueU(size, CV_32FC1, cv::Scalar(3));
    const cv::Mat trueV(size, CV_32FC1, cv::Scalar(-2));
    const cv::Mat zero = cv::Mat::zeros(size, CV_32FC1);

    cv::Mat u = zero.clone(), v = zero.clone();
    const double before = m.error(u, v);
    const int taken =
        fuseByWarpError(m.frames.older, m.frames.newer, trueU, trueV, u, v);
    EXPECT_GT(taken, size.area() * 3 / 4);
    EXPECT_LT(m.error(u, v), before / 5);

    u = trueU.clone();
    v = trueV.clone();
    fuseByWarpError(m.frames.older, m.frames.newer, zero, zero, u, v);
    const cv::Rect inner(8, 8, size.width - 16, size.height - 16);
    EXPECT_EQ(cv::norm(u(inner), trueU(inner), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(v(inner), trueV(inner), cv::NORM_INF), 0.0);
}

// From no motion the pyramid alone finds a shift between whole pixels; the
// incoming field is not read.
TEST(Variational, RecoversAShiftFromNoMotion)
{
    const Moved m = moved(cv::Size(320, 240), 7.5, -4.25);
    CvULKRefineParams params = defaultRefineParams();
    cv::Mat u(m.frames.older.size(), CV_32FC1, cv::Scalar(40));
    cv::Mat v(m.frames.older.size(), CV_32FC1, cv::Scalar(-40));
    refineVariational(m.frames.older, m.frames.newer, params, false, u, v);
    EXPECT_LT(m.error(u, v), 0.2);
}

// A pyramid too shallow for a motion of 30 pixels misses it from no
// motion, and finds it when the engine's field, offered on every level,
// holds it.
TEST(Variational, TheEnginesFieldCarriesMotionsBeyondThePyramidsReach)
{
    const Moved m = moved(cv::Size(320, 240), 24, 18);
    CvULKRefineParams params = defaultRefineParams();
    params.coarsestSide = 100;
    params.fuseScale = 1.0;
    const cv::Size size = m.frames.older.size();

    cv::Mat u = cv::Mat::zeros(size, CV_32FC1), v = u.clone();
    refineVariational(m.frames.older, m.frames.newer, params, false, u, v);
    EXPECT_GT(m.error(u, v), 5.0);

    u = cv::Mat(size, CV_32FC1, cv::Scalar(24));
    v = cv::Mat(size, CV_32FC1, cv::Scalar(18));
    refineVariational(m.frames.older, m.frames.newer, params, true, u, v);
    EXPECT_LT(m.error(u, v), 0.3);
}

} // namespace
