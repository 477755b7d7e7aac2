// Variational refinement: the levels chosen for a frame size, and a field
// that waves around a known shift is brought to it.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "flow_metrics.h"
#include "refine/variational.h"

using namespace ulk;
using namespace ulk::bench;

namespace {

struct LevelCase {
    int width, height;
    bool run;
    int coarsest, finest;
};

class VariationalLevels : public testing::TestWithParam<LevelCase> {};

// From the smallest level whose shorter side keeps 40 pixels to half size
// (full size when half size is below 40), none below 40 pixels at all.
TEST_P(VariationalLevels, KeepEveryLevelAtLeastFortyPixels)
{
    const LevelCase c = GetParam();
    int coarsest = -1, finest = -1;
    EXPECT_EQ(variationalLevels(c.width, c.height, &coarsest, &finest), c.run);
    if (c.run) {
        EXPECT_EQ(coarsest, c.coarsest);
        EXPECT_EQ(finest, c.finest);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, VariationalLevels,
                         testing::Values(LevelCase{640, 480, true, 3, 1},
                                         LevelCase{1920, 1080, true, 4, 1},
                                         LevelCase{320, 240, true, 2, 1},
                                         LevelCase{80, 79, true, 0, 0},
                                         LevelCase{80, 80, true, 1, 1},
                                         LevelCase{39, 400, false, 0, 0}),
                         [](const testing::TestParamInfo<LevelCase>& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

// A field that waves by up to a pixel around a known shift is brought back
// to it: the data term pulls every part toward the shift.
TEST(Variational, StraightensAWavyFieldToTheShift)
{
    const flowmetrics::ShiftedPair pair =
        flowmetrics::makeShiftedPair(cv::Size(320, 240), 3, -2, 9);
    CvMat older = cvMat(pair.older), newer = cvMat(pair.newer);
    int coarsest = 0, finest = 0;
    ASSERT_TRUE(variationalLevels(320, 240, &coarsest, &finest));
    FramePyramid frames;
    frames.build(&older, &newer, coarsest + 1);
    cv::Mat u(pair.older.size(), CV_32FC1), v(pair.older.size(), CV_32FC1);
    for (int y = 0; y < u.rows; ++y)
        for (int x = 0; x < u.cols; ++x) {
            u.at<float>(y, x) = float(3.0 + std::sin(x / 12.0));
            v.at<float>(y, x) = float(-2.0 + std::cos(y / 12.0));
        }
    auto error = [&] {
        cv::Mat flow;
        cv::merge(std::vector<cv::Mat>{u, v}, flow);
        return flowmetrics::compareFlow(flow, pair.truth).averageEndpointError;
    };
    const double before = error();
    CvMat x = cvMat(u), y = cvMat(v);
    refineVariational(frames, coarsest, finest, &x, &y);
    EXPECT_GT(before, 0.8);
    EXPECT_LT(error(), 0.3);
}

} // namespace
