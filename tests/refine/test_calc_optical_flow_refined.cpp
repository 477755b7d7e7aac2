// cvCalcOpticalFlowULKRefined: its argument checks against those of
// cvCalcOpticalFlowULK, the bytes of flags 0, and the refined field on
// textures moved by known amounts beyond the engine's own reach.
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

const char* const kRefinedFunc = "cvCalcOpticalFlowULKRefined";

// A 24 x 32 array whose rows may be padded (a different row step).
cv::Mat arr(int type, int rows = 24, int cols = 32, int pad = 0)
{
    cv::Mat m(rows, cols + pad, type, cv::Scalar::all(3));
    return m.colRange(0, cols);
}

// What a call threw: code, function and message; code 0 when nothing.
struct Verdict {
    int code = 0;
    std::string func;
    std::string message;
};

// Calls one entry on srcA, srcB, velx, vely (a null array where `null` is
// set), with or without storage, and records the error it raised. The
// velocity maps and the storage are checked to be untouched on an error.
Verdict callEntry(bool refined, std::vector<cv::Mat> m, int nullSlot,
                  bool withStorage, int flags)
{
    CvMemStorage* storage = cvCreateMemStorage(0);
    cvMemStorageAlloc(storage, 1000); // an earlier call's contents
    const CvMemBlock* top = storage->top;
    const int freeSpace = storage->free_space;
    const cv::Mat velx = m[2].clone(), vely = m[3].clone();
    CvMat h[4];
    CvArr* args[4];
    for (int i = 0; i < 4; ++i) {
        h[i] = cvMat(m[i]);
        args[i] = i == nullSlot ? nullptr : &h[i];
    }
    StuffInfo info;
    Verdict verdict;
    try {
        if (refined)
            cvCalcOpticalFlowULKRefined(args[0], args[1], args[2], args[3],
                                        withStorage ? storage : nullptr, &info,
                                        flags);
        else
            cvCalcOpticalFlowULK(args[0], args[1], args[2], args[3],
                                 withStorage ? storage : nullptr, &info);
    } catch (const cv::Exception& e) {
        verdict = {e.code, e.func, e.err};
        EXPECT_EQ(cv::norm(m[2], velx, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(m[3], vely, cv::NORM_INF), 0.0);
        EXPECT_EQ(storage->top, top);
        EXPECT_EQ(storage->free_space, freeSpace);
    }
    cvReleaseMemStorage(&storage);
    return verdict;
}

struct BadCall {
    const char* name;
    std::vector<cv::Mat> arrays; // srcA, srcB, velx, vely
    int nullSlot;                // argument passed as null, -1 for none
    bool withStorage;
};

std::vector<cv::Mat> arrays(cv::Mat a, cv::Mat b, cv::Mat x, cv::Mat y)
{
    return {a, b, x, y};
}

// Every check of the engine's entry, and pairs of faults that show their
// order: the new entry must give the same error for each, under its name.
TEST(RefinedEntryChecks, SameChecksInTheSameOrderAsTheEngine)
{
    const cv::Mat a = arr(CV_8UC1), x = arr(CV_32FC1);
    const BadCall calls[] = {
        {"null srcA", arrays(a, a, x, x), 0, true},
        {"null vely and no storage", arrays(a, a, x, x), 3, false},
        {"no storage", arrays(a, a, x, x), -1, false},
        {"no storage, sources differ", arrays(a, arr(CV_8UC3), x, x), -1,
         false},
        {"sources differ in format and size",
         arrays(a, arr(CV_8UC3, 10, 12), x, x), -1, true},
        {"destinations differ", arrays(a, a, x, arr(CV_32SC1)), -1, true},
        {"rows of srcB", arrays(a, arr(CV_8UC1, 20), x, x), -1, true},
        {"cols of velx", arrays(a, a, arr(CV_32FC1, 24, 20), x), -1, true},
        {"8UC3 sources", arrays(arr(CV_8UC3), arr(CV_8UC3), x, x), -1, true},
        {"32SC1 destinations", arrays(a, a, arr(CV_32SC1), arr(CV_32SC1)), -1,
         true},
        {"padded srcB", arrays(a, arr(CV_8UC1, 24, 32, 8), x, x), -1, true},
        {"padded vely", arrays(a, a, x, arr(CV_32FC1, 24, 32, 8)), -1, true},
        {"velx is vely", arrays(a, a, x, x), -1, true},
    };
    for (const BadCall& call : calls) {
        for (const int flags : {0, CV_ULK_REFINED_DEFAULT, -1}) {
            SCOPED_TRACE(std::string(call.name) + ", flags " +
                         std::to_string(flags));
            const Verdict engine = callEntry(false, call.arrays, call.nullSlot,
                                             call.withStorage, 0);
            const Verdict refined = callEntry(true, call.arrays, call.nullSlot,
                                              call.withStorage, flags);
            ASSERT_NE(engine.code, 0);
            EXPECT_EQ(refined.code, engine.code);
            EXPECT_EQ(refined.message, engine.message);
            EXPECT_EQ(refined.func, kRefinedFunc);
        }
    }
}

// Flags are checked last: any bit outside CV_ULK_REFINE_ALL is refused and
// changes nothing.
TEST(RefinedEntryChecks, UnknownFlagsAreRefused)
{
    const cv::Mat a = arr(CV_8UC1), x = arr(CV_32FC1), y = arr(CV_32FC1);
    for (const int flags : {16, int(CV_ULK_REFINE_ALL) + 1, 1 << 30, -1}) {
        SCOPED_TRACE(flags);
        const Verdict verdict =
            callEntry(true, arrays(a, a, x, y), -1, true, flags);
        EXPECT_EQ(verdict.code, CV_StsOutOfRange);
        EXPECT_EQ(verdict.func, kRefinedFunc);
        EXPECT_EQ(verdict.message, "Unknown refinement flags");
    }
    for (const int flags : {0, 1, 2, 4, 8, int(CV_ULK_REFINE_ALL)}) {
        SCOPED_TRACE(flags);
        EXPECT_EQ(callEntry(true, arrays(a, a, x, y), -1, true, flags).code, 0);
    }
}

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
// the coarse-to-fine search.
TEST(RefinedStuffInfo, DescribesTheEnginesSegmentation)
{
    const SyntheticScene scene(320, 240, 1);
    const cv::Mat older = scene.greyFrame(0), newer = scene.greyFrame(1);
    CvMemStorage* engineStorage = cvCreateMemStorage(320 * 240 * 2 + 65536);
    StuffInfo engine;
    flowField(older, newer, engineStorage, &engine);
    const std::vector<TrackPoint> enginePoints =
        seqElements<TrackPoint>(engine.trackPoints);
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
