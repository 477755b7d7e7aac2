// The engine on frames at the edges of what it takes: one pixel wide or
// high, just below and above the matching window, uniform, noise, a
// one-pixel checkerboard, a 4K frame, and a long series of calls on one
// storage. Every result must be finite, within the matching's reach, and
// described consistently by its StuffInfo.
#include "cvoptflowulk.h"
#include "driver.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace ulk::viewer;
using namespace ulk::tools;

namespace {

// Largest displacement the matching reaches: a coarse step of 5 pixels and
// a fine search of 5 more around it. Smoothing cannot leave that range.
constexpr float kMaxSpeed = 10.0f;
constexpr int kFirstLabel = 65;

enum class Pattern { Uniform, Noise, Checkerboard, Scene };

const char* patternName(Pattern p)
{
    switch (p) {
    case Pattern::Uniform:
        return "uniform";
    case Pattern::Noise:
        return "noise";
    case Pattern::Checkerboard:
        return "checkerboard";
    case Pattern::Scene:
        return "scene";
    }
    return "?";
}

// Frame `index` of a sequence of the pattern: uniform frames change their
// level, noise its seed, the checkerboard its phase (every pixel flips) and
// the scene moves its objects.
cv::Mat drawFrame(Pattern pattern, cv::Size size, int index)
{
    cv::Mat frame(size, CV_8UC1);
    switch (pattern) {
    case Pattern::Uniform:
        frame.setTo(index == 0 ? 137 : 200);
        break;
    case Pattern::Noise: {
        cv::RNG rng(static_cast<uint64_t>(index) + 11);
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
        break;
    }
    case Pattern::Checkerboard:
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x)
                frame.at<uchar>(y, x) = (x + y + index) % 2 ? 255 : 0;
        break;
    case Pattern::Scene:
        frame = SyntheticScene(size.width, size.height, 3).greyFrame(index);
        break;
    }
    return frame;
}

void PrintTo(Pattern p, std::ostream* os)
{
    *os << patternName(p);
}

struct Field {
    cv::Mat velx;
    cv::Mat vely;
};

// One engine call on whole-frame matrices; the outputs start far outside
// the valid range, so that a pixel the engine forgets to write shows.
Field runEngine(const cv::Mat& older, const cv::Mat& newer,
                CvMemStorage* storage, StuffInfo* info)
{
    Field f{cv::Mat(older.size(), CV_32FC1, cv::Scalar(1e6)),
            cv::Mat(older.size(), CV_32FC1, cv::Scalar(-1e6))};
    CvMat a = cvMat(older), b = cvMat(newer), x = cvMat(f.velx),
          y = cvMat(f.vely);
    cvCalcOpticalFlowULK(&a, &b, &x, &y, storage, info);
    return f;
}

// Pixels whose velocity is not finite or beyond the matching's reach.
int insaneVelocities(const Field& f)
{
    int bad = 0;
    for (const cv::Mat* map : {&f.velx, &f.vely})
        for (auto it = map->begin<float>(); it != map->end<float>(); ++it)
            bad += !(std::isfinite(*it) && std::fabs(*it) <= kMaxSpeed);
    return bad;
}

bool sameField(const Field& a, const Field& b)
{
    return cv::norm(a.velx, b.velx, cv::NORM_INF) == 0.0 &&
           cv::norm(a.vely, b.vely, cv::NORM_INF) == 0.0;
}

bool zeroField(const Field& f)
{
    return cv::countNonZero(f.velx) == 0 && cv::countNonZero(f.vely) == 0;
}

// Everything a StuffInfo promises about one call on frames of this size:
// the IdxMap's shape, one record per label in label order, seeds and
// rectangles inside the frame, point lists into the tracking points, and
// point velocities within reach.
void expectConsistentStuffInfo(const StuffInfo& info, cv::Size size)
{
    ASSERT_EQ(info.idxMap.rows, size.height);
    ASSERT_EQ(info.idxMap.cols, size.width);
    ASSERT_EQ(CV_MAT_TYPE(info.idxMap.type), CV_16UC1);
    ASSERT_EQ(info.idxMap.step, static_cast<int>(size.width * 2));
    const cv::Mat map = cv::cvarrToMat(&info.idxMap);

    std::set<const void*> points;
    for (int i = 0; i < info.trackPoints->total; ++i) {
        const void* element = cvGetSeqElem(info.trackPoints, i);
        points.insert(element);
        TrackPoint p;
        std::memcpy(&p, element, sizeof p);
        const int x = p.x, y = p.y, vx = p.vx, vy = p.vy, valid = p.valid;
        SCOPED_TRACE(::testing::Message()
                     << "point " << i << " at (" << x << ", " << y << ")");
        EXPECT_TRUE(x >= 0 && x < size.width && y >= 0 && y < size.height);
        EXPECT_TRUE(valid == 0 || valid == 1);
        EXPECT_LE(std::abs(vx), kMaxSpeed);
        EXPECT_LE(std::abs(vy), kMaxSpeed);
        if (valid == 0) {
            EXPECT_TRUE(vx == 0 && vy == 0) << "a rejected point moves";
        }
    }

    const int segments = info.segments->total;
    std::vector<int> labelPixels(kFirstLabel + segments, 0);
    int strayLabels = 0;
    for (auto it = map.begin<ushort>(); it != map.end<ushort>(); ++it) {
        if (*it < kFirstLabel)
            continue;
        if (*it < labelPixels.size())
            ++labelPixels[*it];
        else
            ++strayLabels;
    }
    EXPECT_EQ(strayLabels, 0) << "labels without a record";

    for (int i = 0; i < segments; ++i) {
        SegmentRecord s;
        std::memcpy(&s, cvGetSeqElem(info.segments, i), sizeof s);
        const int label = s.label, sx = s.startX, sy = s.startY;
        const cv::Rect rect(s.rectX, s.rectY, s.rectWidth + 1,
                            s.rectHeight + 1);
        SCOPED_TRACE(::testing::Message() << "segment " << i << " label "
                                          << label << " rect " << rect);
        ASSERT_EQ(label, kFirstLabel + i);
        EXPECT_GT(labelPixels[label], 0) << "a record without pixels";
        EXPECT_TRUE((rect & cv::Rect(cv::Point(), size)) == rect);
        ASSERT_TRUE(rect.contains(cv::Point(sx, sy)));
        EXPECT_EQ(map.at<ushort>(sy, sx), label) << "seed pixel";
        const int count = s.pixelCount;
        EXPECT_GE(count, 1);
        EXPECT_LE(count, labelPixels[label]);
        CvSeq* list = s.points;
        for (int k = 0; k < list->total; ++k) {
            const void* p;
            std::memcpy(&p, cvGetSeqElem(list, k), sizeof p);
            EXPECT_EQ(points.count(p), 1u) << "list element " << k;
        }
    }
}

// Runs older -> newer with and without a StuffInfo on a fresh storage whose
// blocks hold the IdxMap, checks what every call must give, and returns the
// field.
Field checkedFlow(const cv::Mat& older, const cv::Mat& newer)
{
    const cv::Size size = older.size();
    CvMemStorage* storage = cvCreateMemStorage(
        storageBlockSize(size.height, size.width, /*stuffInfo=*/true));
    StuffInfo info;
    const Field with = runEngine(older, newer, storage, &info);
    expectConsistentStuffInfo(info, size);
    const Field without = runEngine(older, newer, storage, nullptr);
    cvReleaseMemStorage(&storage);

    EXPECT_EQ(insaneVelocities(with), 0);
    EXPECT_TRUE(sameField(with, without)) << "the StuffInfo changes the field";
    return with;
}

// ---- Frames too small for the matching window -----------------------------

// A point is matched only when its 32 x 32 window and a search step fit, so
// frames up to 34 pixels wide or high, whatever they show, give no motion.
class EngineSmallFrame
    : public ::testing::TestWithParam<std::tuple<cv::Size, Pattern>> {};

TEST_P(EngineSmallFrame, CompletesWithNoMotion)
{
    const cv::Size size = std::get<0>(GetParam());
    const Pattern pattern = std::get<1>(GetParam());
    SCOPED_TRACE(::testing::Message() << size << " " << patternName(pattern));
    const Field f =
        checkedFlow(drawFrame(pattern, size, 0), drawFrame(pattern, size, 1));
    EXPECT_TRUE(zeroField(f));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EngineSmallFrame,
    ::testing::Combine(::testing::Values(cv::Size(1, 1), cv::Size(1, 200),
                                         cv::Size(200, 1), cv::Size(32, 32),
                                         cv::Size(33, 33), cv::Size(34, 34)),
                       ::testing::Values(Pattern::Uniform, Pattern::Noise,
                                         Pattern::Checkerboard,
                                         Pattern::Scene)));

// ---- Hard content at an ordinary size -------------------------------------

class EngineContent : public ::testing::TestWithParam<Pattern> {
  protected:
    const cv::Size size_{161, 97}; // odd sizes: no block fits exactly
};

TEST_P(EngineContent, IdenticalFramesGiveNoMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    const cv::Mat frame = drawFrame(GetParam(), size_, 1);
    EXPECT_TRUE(zeroField(checkedFlow(frame, frame)));
}

TEST_P(EngineContent, ChangingFramesGiveSaneMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    checkedFlow(drawFrame(GetParam(), size_, 0),
                drawFrame(GetParam(), size_, 1));
}

INSTANTIATE_TEST_SUITE_P(Patterns, EngineContent,
                         ::testing::Values(Pattern::Uniform, Pattern::Noise,
                                           Pattern::Checkerboard,
                                           Pattern::Scene));

// A frame of one grey level is one region: a single segment that holds
// every pixel, for levels that the dark threshold zeroes too.
TEST(EngineUniformFrame, IsOneSegmentCoveringTheFrame)
{
    const cv::Size size(120, 90);
    for (const int level : {0, 10, 11, 128, 255}) {
        SCOPED_TRACE(::testing::Message() << "level " << level);
        const cv::Mat frame(size, CV_8UC1, cv::Scalar(level));
        CvMemStorage* storage =
            cvCreateMemStorage(storageBlockSize(size.height, size.width, true));
        StuffInfo info;
        const Field f = runEngine(frame, frame, storage, &info);
        EXPECT_TRUE(zeroField(f));
        EXPECT_EQ(info.segments->total, 1);
        const cv::Mat map = cv::cvarrToMat(&info.idxMap);
        EXPECT_EQ(cv::countNonZero(map != kFirstLabel), 0);
        cvReleaseMemStorage(&storage);
    }
}

// A white frame of 4096 x 2160 is one segment of 8,847,360 pixels whose
// grey sum passes the range of an int; its mean is still 255.
TEST(EngineUniformFrame, HugeWhiteSegmentKeepsItsMeanGrey)
{
    const cv::Size size(4096, 2160);
    const cv::Mat frame(size, CV_8UC1, cv::Scalar(255));
    CvMemStorage* storage =
        cvCreateMemStorage(storageBlockSize(size.height, size.width, true));
    StuffInfo info;
    runEngine(frame, frame, storage, &info);
    ASSERT_EQ(info.segments->total, 1);
    SegmentRecord segment;
    std::memcpy(&segment, cvGetSeqElem(info.segments, 0), sizeof segment);
    const int pixelCount = segment.pixelCount; // packed: no reference to it
    EXPECT_EQ(pixelCount, size.area());
    EXPECT_EQ(segment.meanGrey, 255);
    cvReleaseMemStorage(&storage);
}

// ---- A 4K frame -------------------------------------------------------------

// The driver's storage block holds the IdxMap of a 3840 x 2160 frame. The
// scene gives motion to find; noise gives thousands of segments with far
// apart points, whose distance sums exceed 32 bits.
class EngineLargeFrame : public ::testing::TestWithParam<Pattern> {};

TEST_P(EngineLargeFrame, FourKFrameCompletesWithSaneMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    const cv::Size size(3840, 2160);
    const Field f = checkedFlow(drawFrame(GetParam(), size, 0),
                                drawFrame(GetParam(), size, 1));
    if (GetParam() == Pattern::Scene) {
        EXPECT_GT(cv::countNonZero(f.velx) + cv::countNonZero(f.vely), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, EngineLargeFrame,
                         ::testing::Values(Pattern::Scene, Pattern::Noise));

// ---- A very wide frame ----------------------------------------------------

// Dark squares along the top edge of a light frame 47000 pixels wide give
// the background segment matched points at both ends: squared distances
// between its points and its nodes pass the range of an int.
TEST(EngineWideFrame, FarApartPointsOfOneSegmentGiveSaneMotion)
{
    const cv::Size size(47000, 60);
    cv::Mat older(size, CV_8UC1, cv::Scalar(200));
    for (int x = 100; x + 40 < size.width; x += 2300)
        older(cv::Rect(x, 0, 40, 36)).setTo(40);
    older(cv::Rect(size.width - 200, 0, 40, 36)).setTo(40);
    cv::Mat newer(size, CV_8UC1, cv::Scalar(200));
    older(cv::Rect(0, 0, size.width - 2, size.height))
        .copyTo(newer(cv::Rect(2, 0, size.width - 2, size.height)));

    CvMemStorage* storage = cvCreateMemStorage(
        storageBlockSize(size.height, size.width, /*stuffInfo=*/true));
    StuffInfo info;
    const Field f = runEngine(older, newer, storage, &info);
    expectConsistentStuffInfo(info, size);
    EXPECT_EQ(insaneVelocities(f), 0);

    // The case holds only if one segment has valid points this far apart.
    int widest = 0;
    for (int i = 0; i < info.segments->total; ++i) {
        SegmentRecord s;
        std::memcpy(&s, cvGetSeqElem(info.segments, i), sizeof s);
        int least = INT_MAX, greatest = INT_MIN;
        for (int k = 0; k < s.points->total; ++k) {
            const TrackPoint* p;
            std::memcpy(&p, cvGetSeqElem(s.points, k), sizeof p);
            if (p->valid) {
                least = std::min(least, int(p->x));
                greatest = std::max(greatest, int(p->x));
            }
        }
        widest = std::max(widest, greatest - least);
    }
    EXPECT_GT(widest, 46341);
    cvReleaseMemStorage(&storage);
}

// ---- Many calls on one storage -----------------------------------------

// The storage is cleared at the start of every call and its blocks reused:
// after the first calls have set its size, a thousand more add no block.
class EngineRepeatedCalls : public ::testing::TestWithParam<bool> {};

TEST_P(EngineRepeatedCalls, KeepTheStorageBounded)
{
    const bool withInfo = GetParam();
    SCOPED_TRACE(withInfo ? "with StuffInfo" : "without StuffInfo");
    const cv::Size size(64, 48);
    const SyntheticScene scene(size.width, size.height, 9);
    const cv::Mat frames[3] = {scene.greyFrame(0), scene.greyFrame(1),
                               scene.greyFrame(2)};
    CvMemStorage* storage =
        cvCreateMemStorage(storageBlockSize(size.height, size.width, withInfo));
    StuffInfo info;
    auto blocks = [storage] {
        int n = 0;
        for (const CvMemBlock* b = storage->bottom; b != nullptr; b = b->next)
            ++n;
        return n;
    };

    constexpr int kCalls = 1000;
    constexpr int kSettlingCalls = 3; // one of each frame pair
    int settled = 0;
    int most = 0;
    for (int call = 0; call < kCalls; ++call) {
        runEngine(frames[call % 3], frames[(call + 1) % 3], storage,
                  withInfo ? &info : nullptr);
        if (call == kSettlingCalls - 1)
            settled = blocks();
        most = std::max(most, blocks());
    }
    EXPECT_GE(settled, 1);
    EXPECT_EQ(most, settled)
        << "the storage grew after call " << kSettlingCalls;
    cvReleaseMemStorage(&storage);
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineRepeatedCalls, ::testing::Bool());

} // namespace
