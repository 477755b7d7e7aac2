// Tests of the engine as a cv::DenseOpticalFlow: results equal the C entry
// byte for byte for every input kind, with refinements those of the refined
// C entry, bad arguments raise the C API's statuses, and one object serves
// frames of changing size.
// The header comes first: it compiles on its own.
#include "cvoptflowulk.hpp"

#include "support.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <string>
#include <thread>
#include <vector>

using namespace ulk::tools;

namespace {

const unsigned kSceneSeed = 3;
// A storage block that holds the IdxMap of a 640 x 480 frame.
constexpr int kInfoStorageBlock = 0x97000;

// Two consecutive BGR frames.
struct FramePair {
    cv::Mat older;
    cv::Mat newer;
};

FramePair scenePair(int width, int height, int index = 4)
{
    SyntheticScene scene(width, height, kSceneSeed);
    return {scene.frame(index), scene.frame(index + 1)};
}

// Frames 10 and 11 of a shared clip; empty when the material is absent.
FramePair clipPair(const std::string& name)
{
    const std::vector<cv::Mat> frames = sharedClipFrames(name, 12);
    return frames.empty() ? FramePair{} : FramePair{frames[10], frames[11]};
}

cv::Mat grey(const cv::Mat& bgr)
{
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    return g;
}

struct Source {
    const char* name;
    FramePair (*make)();
};

void PrintTo(const Source& s, std::ostream* os)
{
    *os << s.name;
}

class DenseOpticalFlowSource : public testing::TestWithParam<Source> {};

// Grey, BGR and BGRA frames, and a grey view whose row step is not the
// other frame's, give the C entry's field.
TEST_P(DenseOpticalFlowSource, EqualsTheCEntryForEveryFrameKind)
{
    FramePair pair = GetParam().make();
    if (pair.newer.empty())
        GTEST_SKIP() << "shared clip not found; real frames not tested";
    const cv::Mat want = engineFlow(grey(pair.older), grey(pair.newer));
    ASSERT_GT(cv::countNonZero(want.reshape(1)), 0) << "a field at rest";

    cv::Ptr<cv::DenseOpticalFlow> of = cv::optflow::createOptFlow_ULK();
    cv::Mat bgra0, bgra1;
    cv::cvtColor(pair.older, bgra0, cv::COLOR_BGR2BGRA);
    cv::cvtColor(pair.newer, bgra1, cv::COLOR_BGR2BGRA);
    // The older frame inside a wider image.
    const cv::Mat a = grey(pair.older);
    cv::Mat wide(a.rows, a.cols + 40, CV_8UC1, cv::Scalar(7));
    a.copyTo(wide.colRange(20, 20 + a.cols));
    const std::vector<std::pair<const char*, FramePair>> kinds = {
        {"bgr", pair},
        {"grey", {a, grey(pair.newer)}},
        {"bgra", {bgra0, bgra1}},
        {"grey view", {wide.colRange(20, 20 + a.cols), grey(pair.newer)}},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.first);
        cv::Mat flow;
        of->calc(kind.second.older, kind.second.newer, flow);
        EXPECT_TRUE(sameBytes(flow, want));
    }
}

// Each setting gives the field of the C entry that takes it, on grey and BGR
// frames and with the stuff info; 0 last, so that switching the refinements
// off again is covered too.
TEST_P(DenseOpticalFlowSource, RefinementsGiveTheRefinedCEntryAndZeroTheDefault)
{
    FramePair pair = GetParam().make();
    if (pair.newer.empty())
        GTEST_SKIP() << "shared clip not found; real frames not tested";
    const cv::Mat a = grey(pair.older);
    const cv::Mat b = grey(pair.newer);
    const cv::Mat plain = engineFlow(a, b);

    cv::Ptr<cv::optflow::OptFlowULK> of = cv::optflow::OptFlowULK::create();
    EXPECT_EQ(of->getRefinements(), 0);
    for (int flags :
         {CV_ULK_REFINED_DEFAULT, int(CV_ULK_REFINE_SEGMENT_SMOOTH), 0}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        of->setRefinements(flags);
        EXPECT_EQ(of->getRefinements(), flags);
        const cv::Mat want = engineFlow(a, b, flags);
        if (flags != 0) {
            EXPECT_FALSE(sameBytes(want, plain)) << "no refinement showed";
        }

        cv::Mat flow;
        of->calc(pair.older, pair.newer, flow);
        EXPECT_TRUE(sameBytes(flow, want)) << "bgr";
        of->calc(a, b, flow);
        EXPECT_TRUE(sameBytes(flow, want)) << "grey";

        CvMemStorage* storage = cvCreateMemStorage(kInfoStorageBlock);
        StuffInfo wantInfo{};
        engineFlow(a, b, flags, &wantInfo, storage);
        const StuffInfo& got =
            of->calcWithStuffInfo(pair.older, pair.newer, flow);
        EXPECT_TRUE(sameBytes(flow, want)) << "with the stuff info";
        EXPECT_TRUE(sameBytes(cv::cvarrToMat(&got.idxMap),
                              cv::cvarrToMat(&wantInfo.idxMap)));
        EXPECT_EQ(got.trackPoints->total, wantInfo.trackPoints->total);
        cvReleaseMemStorage(&storage);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DenseOpticalFlowSource,
    testing::Values(Source{"scene_320x240", [] { return scenePair(320, 240); }},
                    Source{
                        "traffic_road_clip",
                        [] { return clipPair("traffic_road_640x360.avi"); }}),
    [](const testing::TestParamInfo<Source>& info) {
        return std::string(info.param.name);
    });

TEST(DenseOpticalFlow, OneObjectServesChangingSizesAndKeepsTheOutput)
{
    cv::Ptr<cv::optflow::OptFlowULK> of = cv::optflow::OptFlowULK::create();
    cv::Mat flow;
    const uchar* firstData = nullptr;
    // Larger, smaller and larger again, with and without the stuff info;
    // the storage must grow for the larger IdxMap.
    const cv::Size sizes[] = {{160, 120}, {480, 360}, {96, 64}, {480, 360}};
    for (int i = 0; i < 4; ++i) {
        const cv::Size size = sizes[i];
        SCOPED_TRACE(std::to_string(size.width) + "x" +
                     std::to_string(size.height) + " call " +
                     std::to_string(i));
        FramePair pair = scenePair(size.width, size.height);
        cv::Mat a = grey(pair.older);
        cv::Mat b = grey(pair.newer);
        CvMemStorage* storage = cvCreateMemStorage(kInfoStorageBlock);
        StuffInfo want{};
        cv::Mat wantFlow = engineFlow(a, b, 0, &want, storage);
        const StuffInfo& got =
            of->calcWithStuffInfo(pair.older, pair.newer, flow);
        EXPECT_TRUE(sameBytes(flow, wantFlow));
        EXPECT_TRUE(sameBytes(cv::cvarrToMat(&got.idxMap),
                              cv::cvarrToMat(&want.idxMap)));
        EXPECT_EQ(got.segments->total, want.segments->total);
        EXPECT_EQ(got.trackPoints->total, want.trackPoints->total);
        cvReleaseMemStorage(&storage);

        // Without the stuff info, into the same output array: the data of
        // an output of the right size is written in place.
        if (i == 3)
            firstData = flow.data;
        of->calc(pair.older, pair.newer, flow);
        EXPECT_TRUE(sameBytes(flow, wantFlow));
        if (i == 3) {
            EXPECT_EQ(flow.data, firstData);
        }
    }
    of->collectGarbage();
    FramePair pair = scenePair(64, 48);
    of->calc(pair.older, pair.newer, flow);
    EXPECT_TRUE(
        sameBytes(flow, engineFlow(grey(pair.older), grey(pair.newer))));
}

struct BadCall {
    const char* name;
    cv::Mat older;
    cv::Mat newer;
    int status;
    const char* message;
};

void PrintTo(const BadCall& c, std::ostream* os)
{
    *os << c.name;
}

class DenseOpticalFlowRefuses : public testing::TestWithParam<BadCall> {};

TEST_P(DenseOpticalFlowRefuses, WithTheCApiStatus)
{
    const BadCall& c = GetParam();
    for (int flags : {0, CV_ULK_REFINED_DEFAULT}) {
        SCOPED_TRACE("refinements " + std::to_string(flags));
        cv::Ptr<cv::optflow::OptFlowULK> of = cv::optflow::OptFlowULK::create();
        of->setRefinements(flags);
        cv::Mat flow(3, 3, CV_32FC2, cv::Scalar(1, 2));
        const cv::Mat before = flow.clone();
        EXPECT_CV_ERROR(of->calc(c.older, c.newer, flow), c.status,
                        "cv::optflow::OptFlowULK::calc", c.message);
        EXPECT_TRUE(sameBytes(flow, before)) << "the output was touched";
    }
}

const cv::Mat kGrey(48, 64, CV_8UC1, cv::Scalar(100));
const cv::Mat kBgr(48, 64, CV_8UC3, cv::Scalar(100, 50, 25));

INSTANTIATE_TEST_SUITE_P(
    Arguments, DenseOpticalFlowRefuses,
    testing::Values(BadCall{"empty_older", cv::Mat(), kGrey, CV_StsNullPtr,
                            "The older frame is empty"},
                    BadCall{"empty_newer", kGrey, cv::Mat(), CV_StsNullPtr,
                            "The newer frame is empty"},
                    BadCall{"grey_and_bgr", kGrey, kBgr, CV_StsUnmatchedFormats,
                            "Source images have different formats"},
                    BadCall{"different_sizes", kGrey, kGrey.rowRange(0, 40),
                            CV_StsUnmatchedSizes,
                            "Source images have different sizes"},
                    BadCall{"float_frames", cv::Mat(48, 64, CV_32FC1),
                            cv::Mat(48, 64, CV_32FC1), CV_StsUnsupportedFormat,
                            "Source images must have 8uC1, 8uC3 or 8uC4 type"},
                    BadCall{"two_channels", cv::Mat(48, 64, CV_8UC2),
                            cv::Mat(48, 64, CV_8UC2), CV_StsUnsupportedFormat,
                            "Source images must have 8uC1, 8uC3 or 8uC4 type"},
                    BadCall{"sixteen_bit", cv::Mat(48, 64, CV_16UC1),
                            cv::Mat(48, 64, CV_16UC1), CV_StsUnsupportedFormat,
                            "Source images must have 8uC1, 8uC3 or 8uC4 type"}),
    [](const testing::TestParamInfo<BadCall>& info) {
        return std::string(info.param.name);
    });

TEST(DenseOpticalFlow, UnknownRefinementFlagsAreRefusedAndChangeNothing)
{
    cv::Ptr<cv::optflow::OptFlowULK> of = cv::optflow::OptFlowULK::create();
    of->setRefinements(CV_ULK_REFINE_SUBPIXEL);
    for (int flags :
         {CV_ULK_REFINE_ALL + 1, -1, INT_MIN, CV_ULK_REFINE_SUBPIXEL | 64}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        EXPECT_CV_ERROR(of->setRefinements(flags), CV_StsOutOfRange,
                        "cv::optflow::OptFlowULK::setRefinements",
                        "Unknown refinement flags");
        EXPECT_EQ(of->getRefinements(), CV_ULK_REFINE_SUBPIXEL);
    }
}

// A settings record gives the field of cvCalcOpticalFlowULKRefinedEx with
// it; setRefinements() then changes its flags only. A record out of range
// is refused with the C entry's message and keeps the settings.
TEST(DenseOpticalFlow, RefineParamsGiveTheExEntryAndAreChecked)
{
    const SyntheticScene scene(160, 120, 3);
    const cv::Mat a = scene.greyFrame(0), b = scene.greyFrame(1);
    cv::Ptr<cv::optflow::OptFlowULK> of = cv::optflow::OptFlowULK::create();
    // A new object: the defaults with no refinement.
    const CvULKRefineParams fresh = of->getRefineParams(),
                            defaults = cvULKRefineParams();
    EXPECT_EQ(fresh.flags, 0);
    EXPECT_EQ(fresh.pyramidScale, defaults.pyramidScale);
    EXPECT_EQ(fresh.alpha, defaults.alpha);
    EXPECT_EQ(fresh.fuseScale, defaults.fuseScale);

    CvULKRefineParams params = cvULKRefineParams();
    params.alpha = 14;
    params.outerIterations = 3;
    params.fuseScale = 0.5;
    of->setRefineParams(params);
    EXPECT_EQ(of->getRefinements(), CV_ULK_REFINED_DEFAULT);
    EXPECT_EQ(of->getRefineParams().alpha, 14);

    cv::Mat want(a.size(), CV_32FC2), velx(a.size(), CV_32FC1),
        vely(a.size(), CV_32FC1);
    CvMat srcA = cvMat(a), srcB = cvMat(b), vx = cvMat(velx), vy = cvMat(vely);
    CvMemStorage* storage = cvCreateMemStorage(0);
    cvCalcOpticalFlowULKRefinedEx(&srcA, &srcB, &vx, &vy, storage, nullptr,
                                  &params);
    cvReleaseMemStorage(&storage);
    cv::merge(std::vector<cv::Mat>{velx, vely}, want);
    cv::Mat flow;
    of->calc(a, b, flow);
    EXPECT_TRUE(sameBytes(flow, want));
    EXPECT_FALSE(sameBytes(flow, engineFlow(a, b, CV_ULK_REFINED_DEFAULT)))
        << "the settings changed nothing";

    // The flags alone change; the other settings stay.
    of->setRefinements(0);
    EXPECT_EQ(of->getRefineParams().alpha, 14);
    of->calc(a, b, flow);
    EXPECT_TRUE(sameBytes(flow, engineFlow(a, b)));

    CvULKRefineParams bad = params;
    bad.omega = 2.5;
    EXPECT_CV_ERROR(of->setRefineParams(bad), CV_StsOutOfRange,
                    "cv::optflow::OptFlowULK::setRefineParams",
                    "omega must lie in [1, 1.99]");
    bad = params;
    bad.flags = 32;
    EXPECT_CV_ERROR(of->setRefineParams(bad), CV_StsOutOfRange,
                    "cv::optflow::OptFlowULK::setRefineParams",
                    "Unknown refinement flags");
    EXPECT_EQ(of->getRefineParams().omega, params.omega);
    EXPECT_EQ(of->getRefinements(), 0);
}

// Two threads on storages that share blocks, then on one object.
TEST(DenseOpticalFlow, SharedStoragesAndObjectsServeOneCallAtATime)
{
    const FramePair pair = scenePair(160, 120);
    const cv::Mat a = grey(pair.older), b = grey(pair.newer),
                  want = engineFlow(a, b);
    CvMemStorage* s[3] = {cvCreateMemStorage(0)};
    s[1] = cvCreateChildMemStorage(s[0]);
    s[2] = cvCreateChildMemStorage(s[0]);
    const auto of = cv::optflow::OptFlowULK::create();
    for (const cv::Vec2i& on : {cv::Vec2i(0, 0), {1, 2}, {0, 1}, {-1, -1}}) {
        const auto calls = [&](int t) {
            for (int i = 0; i < 16; ++i) {
                cv::Mat flow;
                try {
                    if (on[t] < 0)
                        t ? (void)of->calcWithStuffInfo(a, b, flow)
                          : of->calc(a, b, flow);
                    else
                        flow = engineFlow(a, b, 0, nullptr, s[on[t]]);
                    EXPECT_TRUE(sameBytes(flow, want));
                } catch (const cv::Exception& e) {
                    EXPECT_EQ(e.code, CV_StsBadArg);
                    EXPECT_EQ(e.err, std::string(on[t] < 0 ? "the object"
                                                           : "the storage") +
                                         " is in use by another call");
                }
            }
        };
        std::thread other(calls, 1);
        calls(0);
        other.join();
    }
    for (CvMemStorage* storage : {s[2], s[1], s[0]})
        cvReleaseMemStorage(&storage);
}

} // namespace
