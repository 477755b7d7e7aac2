// Accuracy of the refined mode with its default settings: the endpoint
// error on each Middlebury pair of the shared material within a limit of
// its own, and translations up to 60 pixels of a texture made here.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <string>
#include <vector>

#include "cvoptflowulk.h"
#include "flow_metrics.h"
#include "support.h"

using namespace ulk::bench;

namespace {

// The refined field of two grey frames as CV_32FC2.
cv::Mat refinedFlow(const cv::Mat& older, const cv::Mat& newer)
{
    return engineFlow(older, newer, CV_ULK_REFINED_DEFAULT);
}

struct PairLimit {
    const char* pair;
    double limit; // endpoint error allowed, pixels
};

class RefinedMiddlebury : public testing::TestWithParam<PairLimit> {};

// Each limit is the error measured when the defaults were chosen, plus
// about 5 %: a change that loses accuracy on any pair shows.
TEST_P(RefinedMiddlebury, StaysWithinThePairsLimit)
{
    const PairLimit c = GetParam();
    const std::string dir = sharedDataDir();
    const std::string folder = dir + "/middlebury/" + c.pair + "/";
    const cv::Mat older =
        cv::imread(folder + "frame10.png", cv::IMREAD_GRAYSCALE);
    const cv::Mat newer =
        cv::imread(folder + "frame11.png", cv::IMREAD_GRAYSCALE);
    const cv::Mat truth = flowmetrics::readFlo(folder + "flow10.flo");
    if (dir.empty() || older.empty() || newer.empty() || truth.empty())
        GTEST_SKIP() << "Middlebury pair " << c.pair
                     << " not in the shared material";
    const flowmetrics::FlowError error =
        flowmetrics::compareFlow(refinedFlow(older, newer), truth);
    EXPECT_LT(error.averageEndpointError, c.limit);
}

INSTANTIATE_TEST_SUITE_P(Pairs, RefinedMiddlebury,
                         testing::Values(PairLimit{"Dimetrodon", 0.345},
                                         PairLimit{"Grove2", 0.32},
                                         PairLimit{"Hydrangea", 0.325},
                                         PairLimit{"RubberWhale", 0.305},
                                         PairLimit{"Urban2", 0.72},
                                         PairLimit{"Venus", 0.525}),
                         [](const testing::TestParamInfo<PairLimit>& info) {
                             return std::string(info.param.pair);
                         });

// A texture moved along (0.8, 0.6) by up to 60 pixels, the borders
// reflected: on the pixels whose target stays inside the frame the mean
// endpoint error stays below a pixel.
TEST(RefinedTranslation, RecoversMovesUpTo60Pixels)
{
    const cv::Mat texture = flowmetrics::makeTexture(cv::Size(640, 480), 11);
    for (const double distance : {10.0, 30.0, 45.0, 60.0}) {
        SCOPED_TRACE(distance);
        const flowmetrics::MovedFrames moved = flowmetrics::makeMovedFrames(
            texture, flowmetrics::translation(distance, 0.8, 0.6));
        const flowmetrics::FlowError error = flowmetrics::compareFlow(
            refinedFlow(moved.older, moved.newer), moved.truth);
        EXPECT_LT(error.averageEndpointError, 1.0);
    }
}

} // namespace
