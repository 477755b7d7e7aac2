// The whole engine on synthetic frames: ordinary and hard content (uniform,
// noise, a one-pixel checkerboard, a moving scene), frames down to one pixel
// wide or high, just below and above the matching window, a 4K frame and a
// very wide one, known motions, and the storage over many and failing calls.
// Every result must be finite, within the matching's reach, the same with and
// without a StuffInfo, and described consistently by its StuffInfo.
#include "cvoptflowulk.h"
#include "driver.h"
#include "engine/stage_timing.h"
#include "support.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace ulk;
using namespace ulk::tools;
using namespace ulk::viewer;

namespace {

// Largest displacement the matching reaches: a coarse step of 5 pixels and
// a fine search of 5 more around it. Smoothing cannot leave that range.
constexpr float kMaxSpeed = 10.0f;
constexpr int kFirstLabel = 65;

enum class Pattern { Uniform, Noise, Checkerboard, Scene };

const char* patternName(Pattern p)
{
    static const char* const names[] = {"uniform", "noise", "checkerboard",
                                        "scene"};
    return names[int(p)];
}

void PrintTo(Pattern p, std::ostream* os)
{
    *os << patternName(p);
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

cv::Mat sceneTexture(cv::Size size)
{
    return SyntheticScene(size.width, size.height, 3).greyFrame(0);
}

// A storage sized as the viewer sizes it, whose blocks hold the IdxMap of
// frames of this size.
CvMemStorage* viewerStorage(cv::Size size, bool stuffInfo = true)
{
    return cvCreateMemStorage(
        storageBlockSize(size.height, size.width, stuffInfo));
}

// Whether the 32 x 32 window of a point fits into the frame: only then is
// the point measured.
bool windowFits(const TrackPoint& p, cv::Size size)
{
    return std::max(p.x - 16, 0) <= size.width - 33 &&
           std::max(p.y - 16, 0) <= size.height - 33;
}

// Pixels whose velocity is not finite or beyond the matching's reach.
int insaneVelocities(const VelocityField& f)
{
    int bad = 0;
    for (const cv::Mat* map : {&f.velx, &f.vely})
        for (auto it = map->begin<float>(); it != map->end<float>(); ++it)
            bad += !(std::isfinite(*it) && std::fabs(*it) <= kMaxSpeed);
    return bad;
}

bool zeroField(const VelocityField& f)
{
    return cv::countNonZero(f.velx) == 0 && cv::countNonZero(f.vely) == 0;
}

// Everything a StuffInfo promises about one call on frames of this size:
// the IdxMap's shape, one record per label in label order, seeds in raster
// order, seeds and rectangles inside the frame, point lists into the tracking
// points, point velocities within reach, and no point measured whose window
// does not fit.
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
        if (!windowFits(p, size)) {
            EXPECT_EQ(valid, 0) << "a point whose window does not fit";
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

    cv::Point previousSeed(-1, -1);
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
        EXPECT_TRUE(sy > previousSeed.y ||
                    (sy == previousSeed.y && sx > previousSeed.x))
            << "seed out of raster order";
        previousSeed = cv::Point(sx, sy);
        const int count = s.pixelCount;
        EXPECT_GE(count, 1);
        EXPECT_LE(count, labelPixels[label]);
        for (const void* p : seqElements<const void*>(s.points))
            EXPECT_EQ(points.count(p), 1u) << "a listed point that is none";
    }
}

// One call older -> newer with what every call must give checked. It runs
// without a StuffInfo into maps that start at other values, then with one
// into maps that start far outside the valid range, so that a pixel the
// engine forgets to write shows; both give the same field, finite and
// within reach, and the StuffInfo (valid while the run lives) is
// consistent.
struct CheckedRun {
    CvMemStorage* storage;
    StuffInfo info;
    VelocityField field;

    CheckedRun(const cv::Mat& older, const cv::Mat& newer)
        : storage(viewerStorage(older.size()))
    {
        const VelocityField without =
            flowField(older, newer, storage, nullptr, -77.0f, 1000.0f);
        field = flowField(older, newer, storage, &info, 1e6f, -1e6f);
        expectConsistentStuffInfo(info, older.size());
        EXPECT_EQ(insaneVelocities(field), 0);
        EXPECT_TRUE(sameField(field, without))
            << "the StuffInfo or the maps' contents change the field";
    }
    ~CheckedRun() { cvReleaseMemStorage(&storage); }
    CheckedRun(const CheckedRun&) = delete;
    CheckedRun& operator=(const CheckedRun&) = delete;
};

// ---- Content at an ordinary size ------------------------------------------

class EngineContent : public ::testing::TestWithParam<Pattern> {
  protected:
    const cv::Size size_{161, 97}; // odd sizes: no block fits exactly
};

// Every point whose window fits is measured, at no cost: velocity 0, valid.
TEST_P(EngineContent, IdenticalFramesGiveNoMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    const cv::Mat frame = drawFrame(GetParam(), size_, 1);
    const CheckedRun run(frame, frame);
    EXPECT_TRUE(zeroField(run.field));
    int measured = 0;
    for (const TrackPoint& p : seqElements<TrackPoint>(run.info.trackPoints)) {
        const int x = p.x, y = p.y, vx = p.vx, vy = p.vy, valid = p.valid;
        const bool fits = windowFits(p, size_);
        measured += fits;
        EXPECT_EQ(cv::Vec3i(vx, vy, valid), cv::Vec3i(0, 0, fits))
            << "point (" << x << ", " << y << ")";
    }
    EXPECT_GT(measured, 0);
}

// Any content but a uniform frame gives several segments, and the scene's
// motion shows in the field. On these frames the labels also follow the
// raster order of the segments' first pixels (pixels merged into a segment
// can come before its seed, as they do on larger frames).
TEST_P(EngineContent, ChangingFramesGiveSaneMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    const CheckedRun run(drawFrame(GetParam(), size_, 0),
                         drawFrame(GetParam(), size_, 1));
    std::vector<int> firstSeen, inLabelOrder(run.info.segments->total);
    std::set<int> seen;
    const cv::Mat map = cv::cvarrToMat(&run.info.idxMap);
    for (auto it = map.begin<ushort>(); it != map.end<ushort>(); ++it)
        if (*it >= kFirstLabel && seen.insert(*it).second)
            firstSeen.push_back(*it);
    std::iota(inLabelOrder.begin(), inLabelOrder.end(), kFirstLabel);
    EXPECT_EQ(firstSeen, inLabelOrder);
    if (GetParam() != Pattern::Uniform) {
        EXPECT_GT(run.info.segments->total, 1);
    }
    if (GetParam() == Pattern::Scene) {
        EXPECT_GT(cv::countNonZero(run.field.velx), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, EngineContent,
                         ::testing::Values(Pattern::Uniform, Pattern::Noise,
                                           Pattern::Checkerboard,
                                           Pattern::Scene));

// The newer frame is the older one moved as a whole by shifts the search
// reaches exactly; away from the borders most of the field has the shift.
TEST(EngineShift, InteriorOfTheFieldMovesWithTheFrame)
{
    const cv::Size size(160, 120);
    const cv::Rect interior(40, 40, size.width - 80, size.height - 80);
    for (const cv::Point s : {cv::Point(5, 5), cv::Point(-5, -5),
                              cv::Point(5, -5), cv::Point(1, 3)}) {
        SCOPED_TRACE(::testing::Message() << "shift " << s);
        const MovedPair pair = movedTexture(size, s.x, s.y, sceneTexture);
        const CheckedRun run(pair.older, pair.newer);
        const cv::Mat u = run.field.velx(interior) - s.x;
        const cv::Mat v = run.field.vely(interior) - s.y;
        const cv::Mat close = (cv::abs(u) < 1.0f) & (cv::abs(v) < 1.0f);
        EXPECT_GT(cv::countNonZero(close), interior.area() * 3 / 5);
    }
}

// ---- Frames too small for the matching window -----------------------------

// A point is matched only when its 32 x 32 window and a search step fit, so
// frames up to 34 pixels wide or high, whatever they show, give no motion;
// below 33 pixels no point is measured at all (see windowFits).
class EngineSmallFrame
    : public ::testing::TestWithParam<std::tuple<cv::Size, Pattern>> {};

TEST_P(EngineSmallFrame, CompletesWithNoMotion)
{
    const cv::Size size = std::get<0>(GetParam());
    const Pattern pattern = std::get<1>(GetParam());
    SCOPED_TRACE(::testing::Message() << size << " " << patternName(pattern));
    const CheckedRun run(drawFrame(pattern, size, 0),
                         drawFrame(pattern, size, 1));
    EXPECT_TRUE(zeroField(run.field));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EngineSmallFrame,
    ::testing::Combine(
        ::testing::Values(cv::Size(1, 1), cv::Size(3, 2), cv::Size(1, 200),
                          cv::Size(200, 1), cv::Size(32, 32), cv::Size(32, 60),
                          cv::Size(60, 32), cv::Size(33, 33), cv::Size(34, 34)),
        ::testing::Values(Pattern::Uniform, Pattern::Noise,
                          Pattern::Checkerboard, Pattern::Scene)));

// ---- Uniform frames -------------------------------------------------------

// A frame of one grey level is one region: a single segment that holds
// every pixel, for levels that the dark threshold zeroes too.
TEST(EngineUniformFrame, IsOneSegmentCoveringTheFrame)
{
    for (const int level : {0, 10, 11, 128, 255}) {
        SCOPED_TRACE(::testing::Message() << "level " << level);
        const cv::Mat frame(cv::Size(120, 90), CV_8UC1, cv::Scalar(level));
        const CheckedRun run(frame, frame);
        EXPECT_TRUE(zeroField(run.field));
        EXPECT_EQ(run.info.segments->total, 1);
        const cv::Mat map = cv::cvarrToMat(&run.info.idxMap);
        EXPECT_EQ(cv::countNonZero(map != kFirstLabel), 0);
    }
}

// A white frame of 4096 x 2160 is one segment of 8,847,360 pixels whose
// grey sum passes the range of an int; its mean is still 255.
TEST(EngineUniformFrame, HugeWhiteSegmentKeepsItsMeanGrey)
{
    const cv::Size size(4096, 2160);
    const cv::Mat frame(size, CV_8UC1, cv::Scalar(255));
    CvMemStorage* storage = viewerStorage(size);
    StuffInfo info;
    flowField(frame, frame, storage, &info);
    const auto segments = seqElements<SegmentRecord>(info.segments);
    ASSERT_EQ(segments.size(), 1u);
    const int pixelCount = segments[0].pixelCount; // packed: no reference
    EXPECT_EQ(pixelCount, size.area());
    EXPECT_EQ(segments[0].meanGrey, 255);
    cvReleaseMemStorage(&storage);
}

// ---- Very large frames ----------------------------------------------------

// The driver's storage block holds the IdxMap of a 3840 x 2160 frame. The
// scene gives motion to find; noise gives thousands of segments with far
// apart points, whose distance sums exceed 32 bits.
class EngineLargeFrame : public ::testing::TestWithParam<Pattern> {};

TEST_P(EngineLargeFrame, FourKFrameCompletesWithSaneMotion)
{
    SCOPED_TRACE(patternName(GetParam()));
    const cv::Size size(3840, 2160);
    const CheckedRun run(drawFrame(GetParam(), size, 0),
                         drawFrame(GetParam(), size, 1));
    if (GetParam() == Pattern::Scene) {
        EXPECT_FALSE(zeroField(run.field));
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, EngineLargeFrame,
                         ::testing::Values(Pattern::Scene, Pattern::Noise));

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
    const CheckedRun run(older, newer);

    // The case holds only if one segment has valid points this far apart.
    int widest = 0;
    for (const SegmentRecord& s :
         seqElements<SegmentRecord>(run.info.segments)) {
        int least = INT_MAX, greatest = INT_MIN;
        for (const TrackPoint* p : seqElements<const TrackPoint*>(s.points)) {
            if (p->valid) {
                least = std::min(least, int(p->x));
                greatest = std::max(greatest, int(p->x));
            }
        }
        widest = std::max(widest, greatest - least);
    }
    EXPECT_GT(widest, 46341);
}

// ---- The storage over many and failing calls ------------------------------

// The storage is cleared at the start of every call and its blocks reused:
// the same call again adds no block to those of the first, and after the
// first calls of each frame pair have set its size, a thousand more add
// none either; with and without a StuffInfo, in the viewer's blocks and in
// the default ones.
struct StorageCase {
    const char* name;
    bool withInfo;
    bool viewerBlocks; // else cvCreateMemStorage(0)
};

class EngineRepeatedCalls : public ::testing::TestWithParam<StorageCase> {};

TEST_P(EngineRepeatedCalls, KeepTheStorageBounded)
{
    const StorageCase& c = GetParam();
    const cv::Size size(64, 48);
    const SyntheticScene scene(size.width, size.height, 9);
    const cv::Mat frames[3] = {scene.greyFrame(0), scene.greyFrame(1),
                               scene.greyFrame(2)};
    CvMemStorage* storage = c.viewerBlocks ? viewerStorage(size, c.withInfo)
                                           : cvCreateMemStorage(0);
    StuffInfo info;
    const auto call = [&](int pair) {
        flowField(frames[pair % 3], frames[(pair + 1) % 3], storage,
                  c.withInfo ? &info : nullptr);
    };

    call(0);
    const int first = storageBlocks(storage);
    for (int again = 0; again < 3; ++again)
        call(0);
    EXPECT_EQ(storageBlocks(storage), first) << "the same call grew it";

    constexpr int kCalls = 1000;
    constexpr int kSettlingCalls = 3; // one of each frame pair
    int settled = 0;
    int most = 0;
    for (int pair = 0; pair < kCalls; ++pair) {
        call(pair);
        if (pair == kSettlingCalls - 1)
            settled = storageBlocks(storage);
        most = std::max(most, storageBlocks(storage));
    }
    EXPECT_GE(settled, 1);
    EXPECT_EQ(most, settled)
        << "the storage grew after call " << kSettlingCalls;
    cvReleaseMemStorage(&storage);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EngineRepeatedCalls,
    ::testing::Values(StorageCase{"without_stuffinfo", false, true},
                      StorageCase{"with_stuffinfo", true, true},
                      StorageCase{"with_stuffinfo_in_default_blocks", true,
                                  false}),
    [](const ::testing::TestParamInfo<StorageCase>& info) {
        return std::string(info.param.name);
    });

class Engine : public ::testing::Test {
  protected:
    void TearDown() override { cvReleaseMemStorage(&storage_); }

    SyntheticScene scene_{160, 120, 7};
    cv::Mat older_ = scene_.greyFrame(0), newer_ = scene_.greyFrame(1);
    CvMemStorage* storage_ = cvCreateMemStorage(0);
    StuffInfo info_;
};

// The IdxMap does not fit into one block of the storage: the library
// reports it, the scratch objects are released (the sanitizer build checks
// for leaks) and the StuffInfo stays as it was.
TEST_F(Engine, StorageBlockTooSmallForTheIdxMapFailsCleanly)
{
    CvMemStorage* small = cvCreateMemStorage(1024);
    std::memset(&info_, 0x5A, sizeof(info_));
    const StuffInfo before = info_;
    EXPECT_THROW(flowField(older_, newer_, small, &info_), cv::Exception);
    EXPECT_EQ(std::memcmp(&info_, &before, sizeof(info_)), 0);
    EXPECT_NO_THROW(flowField(older_, newer_, small, nullptr));
    cvReleaseMemStorage(&small);
}

#ifdef OF_ULK_STAGE_TIMING
TEST_F(Engine, StageTimesAddUpOverCalls)
{
    ulkResetStageSeconds();
    flowField(older_, newer_, storage_, nullptr);
    const std::vector<double> once(ulkStageSeconds(),
                                   ulkStageSeconds() + kStageCount);
    flowField(older_, newer_, storage_, nullptr);
    for (int stage = 0; stage < kStageCount; ++stage) {
        EXPECT_GT(once[stage], 0.0) << "stage " << stage;
        EXPECT_GT(ulkStageSeconds()[stage], once[stage]) << "stage " << stage;
    }
}

// Engine calls in several threads at once add to the one table; a
// ThreadSanitizer build of this test reports any unguarded access.
TEST_F(Engine, StageTimesOfConcurrentCallsAllCount)
{
    const int kThreads = 2, kCallsPerThread = 4;
    ulkResetStageSeconds();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this] {
            CvMemStorage* storage = cvCreateMemStorage(0);
            for (int call = 0; call < kCallsPerThread; ++call)
                flowField(older_, newer_, storage, nullptr);
            cvReleaseMemStorage(&storage);
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::vector<double> concurrent(ulkStageSeconds(),
                                         ulkStageSeconds() + kStageCount);
    ulkResetStageSeconds();
    flowField(older_, newer_, storage_, nullptr);
    for (int stage = 0; stage < kStageCount; ++stage) {
        EXPECT_GT(concurrent[stage], ulkStageSeconds()[stage])
            << "stage " << stage;
    }
}
#endif

} // namespace
