// cvCalcOpticalFlowULKRefined: the bytes of flags 0, the StuffInfo it hands
// out, and the refined field on tiny frames and on textures moved by known
// amounts beyond the engine's own reach. Its argument checks are tested
// with the engine's, in tests/api.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cvoptflowulk.h"
#include "flow_metrics.h"
#include "support.h"
#include "synthetic_scene.h"

using namespace ulk::tools;
using namespace ulk::bench;

namespace {

struct SceneCase {
    int width;
    int height;
    bool withStuffInfo;
};

class RefinedFlagsZero : public testing::TestWithParam<SceneCase> {};

// Flags 0 hand out the very bytes of cvCalcOpticalFlowULK, including what
// the maps held before the call where the engine leaves them.
TEST_P(RefinedFlagsZero, GivesTheEnginesBytes)
{
    const SceneCase c = GetParam();
    const SyntheticScene scene(c.width, c.height, 1);
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE("pair " + std::to_string(frame));
        const cv::Mat older = scene.greyFrame(frame);
        const cv::Mat newer = scene.greyFrame(frame + 1);
        EXPECT_EQ(callBytes(older, newer, c.withStuffInfo, 0),
                  callBytes(older, newer, c.withStuffInfo));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, RefinedFlagsZero,
    testing::Values(SceneCase{320, 240, false}, SceneCase{320, 240, true},
                    SceneCase{640, 480, true}, SceneCase{97, 61, true}),
    [](const testing::TestParamInfo<SceneCase>& info) {
        return std::to_string(info.param.width) + "x" +
               std::to_string(info.param.height) +
               (info.param.withStuffInfo ? "_stuffinfo" : "");
    });

// The texture that the refined field is measured on.
cv::Mat texture(cv::Size size)
{
    return flowmetrics::makeTexture(size, 11);
}

struct ShiftCase {
    double dx;
    double dy;
    int width;
    int height;
    double meanTolerance; // mean endpoint error allowed, pixels
};

// "17.5" or "m23" (minus): a name part for a test parameter.
std::string numberName(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%s%g", value < 0 ? "m" : "",
                  std::abs(value));
    return text;
}

class RefinedShift : public testing::TestWithParam<ShiftCase> {};

// The refined mode recovers a uniform motion, beyond the engine's reach of
// 10 pixels and between whole pixels, over the pixels that both frames see.
TEST_P(RefinedShift, RecoversAKnownShift)
{
    const ShiftCase c = GetParam();
    const MovedPair pair =
        movedTexture(cv::Size(c.width, c.height), c.dx, c.dy, texture);
    CvMemStorage* storage = cvCreateMemStorage(0);
    const VelocityField f = flowField(pair.older, pair.newer, storage, nullptr,
                                      0.0f, 0.0f, CV_ULK_REFINED_DEFAULT);
    cvReleaseMemStorage(&storage);

    cv::Mat du = f.velx(pair.inner) - c.dx;
    cv::Mat dv = f.vely(pair.inner) - c.dy;
    cv::Mat error;
    cv::magnitude(du, dv, error);
    EXPECT_LT(cv::mean(error)[0], c.meanTolerance);
}

INSTANTIATE_TEST_SUITE_P(Shifts, RefinedShift,
                         testing::Values(ShiftCase{17.5, 0.0, 320, 240, 0.4},
                                         ShiftCase{0.0, -17.5, 320, 240, 0.4},
                                         ShiftCase{-23.0, 12.5, 640, 480, 0.4},
                                         ShiftCase{2.25, -1.5, 320, 240, 0.3},
                                         ShiftCase{0.0, 0.0, 320, 240, 0.05}),
                         [](const testing::TestParamInfo<ShiftCase>& info) {
                             return paramName(
                                 "dx " + numberName(info.param.dx) + " dy " +
                                 numberName(info.param.dy) + " " +
                                 std::to_string(info.param.width) + "x" +
                                 std::to_string(info.param.height));
                         });

// The refinements change velocities, not the segmentation: with any flags
// the StuffInfo holds the IdxMap, segments and tracking-point positions of
// the engine, and every point velocity is a whole pixel within the reach of
// the coarse-to-fine search. With sub-pixel velocities their values before
// rounding hang on trackPoints->v_next; otherwise nothing does.
TEST(RefinedStuffInfo, DescribesTheEnginesSegmentation)
{
    const SyntheticScene scene(320, 240, 1);
    const cv::Mat older = scene.greyFrame(0), newer = scene.greyFrame(1);
    CvMemStorage* engineStorage = cvCreateMemStorage(320 * 240 * 2 + 65536);
    StuffInfo engine;
    flowField(older, newer, engineStorage, &engine);
    const std::vector<TrackPoint> enginePoints =
        seqElements<TrackPoint>(engine.trackPoints);
    EXPECT_EQ(engine.trackPoints->v_next, nullptr);
    for (const int flags : {1, 2, 4, 8, CV_ULK_REFINED_DEFAULT}) {
        SCOPED_TRACE(flags);
        CvMemStorage* storage = cvCreateMemStorage(320 * 240 * 2 + 65536);
        StuffInfo info;
        const VelocityField f =
            flowField(older, newer, storage, &info, 0.0f, 0.0f, flags);
        EXPECT_TRUE(sameBytes(cv::cvarrToMat(&info.idxMap),
                              cv::cvarrToMat(&engine.idxMap)));
        const std::vector<TrackPoint> points =
            seqElements<TrackPoint>(info.trackPoints);
        ASSERT_EQ(points.size(), enginePoints.size());
        const CvSeq* exactSeq = info.trackPoints->v_next;
        ASSERT_EQ(exactSeq != nullptr, (flags & CV_ULK_REFINE_SUBPIXEL) != 0);
        const std::vector<CvPoint2D32f> exact =
            exactSeq ? seqElements<CvPoint2D32f>(exactSeq)
                     : std::vector<CvPoint2D32f>();
        ASSERT_EQ(exact.size(), exactSeq ? points.size() : 0u);
        for (size_t i = 0; i < exact.size(); ++i) {
            const int pvx = points[i].vx, pvy = points[i].vy;
            EXPECT_EQ(std::lround(exact[i].x), pvx) << i;
            EXPECT_EQ(std::lround(exact[i].y), pvy) << i;
        }
        for (size_t i = 0; i < points.size(); ++i) {
            // Packed records: fields are copied out before comparing.
            const int px = points[i].x, py = points[i].y;
            const int pvx = points[i].vx, pvy = points[i].vy;
            const int ex = enginePoints[i].x, ey = enginePoints[i].y;
            EXPECT_EQ(px, ex);
            EXPECT_EQ(py, ey);
            EXPECT_LE(std::abs(pvx), 48);
            EXPECT_LE(std::abs(pvy), 48);
        }
        EXPECT_TRUE(cv::checkRange(f.velx) && cv::checkRange(f.vely));
        cvReleaseMemStorage(&storage);
    }
    cvReleaseMemStorage(&engineStorage);
}

// Frames smaller than the point window or than the reduced levels: every
// refinement runs and leaves a finite field (no level is made empty or
// refined below its useful size).
TEST(RefinedSmallFrames, EveryRefinementRunsOnTinyFrames)
{
    const cv::Size sizes[] = {{1, 1}, {16, 12}, {33, 33}, {40, 90}, {97, 61}};
    for (const cv::Size& size : sizes) {
        const MovedPair pair = movedTexture(size, 1.0, -1.0, texture);
        for (const int flags : {1, 2, 4, 8, int(CV_ULK_REFINE_ALL)}) {
            SCOPED_TRACE(std::to_string(size.width) + "x" +
                         std::to_string(size.height) + ", flags " +
                         std::to_string(flags));
            VelocityField f{cv::Mat(size, CV_32FC1, cv::Scalar(0)),
                            cv::Mat(size, CV_32FC1, cv::Scalar(0))};
            CvMemStorage* storage = cvCreateMemStorage(0);
            EXPECT_NO_THROW(
                calcFlow(pair.older, pair.newer, &f, storage, nullptr, flags));
            cvReleaseMemStorage(&storage);
            EXPECT_TRUE(cv::checkRange(f.velx) && cv::checkRange(f.vely));
        }
    }
}

} // namespace
