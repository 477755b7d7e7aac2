// The whole engine run on synthetic frames: the StuffInfo it hands out, the
// velocity field with and without one, known motions, and the storage over
// repeated and failing calls.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "cvoptflowulk.h"
#include "engine/stage_timing.h"
#include "synthetic_scene.h"

using namespace ulk;
using namespace ulk::tools;

namespace {

const int kWidth = 160, kHeight = 120;

struct Field {
    cv::Mat velx, vely;
    bool operator==(const Field& o) const
    {
        return cv::norm(velx, o.velx, cv::NORM_INF) == 0.0 &&
               cv::norm(vely, o.vely, cv::NORM_INF) == 0.0;
    }
};

// One call on whole-frame matrices whose outputs start at `fill`.
Field flow(const cv::Mat& older, const cv::Mat& newer, CvMemStorage* storage,
           StuffInfo* info, float fill = 0.0f)
{
    Field f{cv::Mat(older.size(), CV_32FC1, cv::Scalar(fill)),
            cv::Mat(older.size(), CV_32FC1, cv::Scalar(fill))};
    CvMat a = cvMat(older), b = cvMat(newer), x = cvMat(f.velx),
          y = cvMat(f.vely);
    cvCalcOpticalFlowULK(&a, &b, &x, &y, storage, info);
    return f;
}

template <typename Record> std::vector<Record> elements(const CvSeq* seq)
{
    std::vector<Record> out(seq->total);
    for (int i = 0; i < seq->total; ++i)
        std::memcpy(&out[i], cvGetSeqElem(seq, i), sizeof(Record));
    return out;
}

class Engine : public ::testing::Test {
  protected:
    void TearDown() override { cvReleaseMemStorage(&storage_); }

    SyntheticScene scene_{kWidth, kHeight, 7};
    cv::Mat older_ = scene_.greyFrame(0), newer_ = scene_.greyFrame(1);
    CvMemStorage* storage_ = cvCreateMemStorage(0);
    StuffInfo info_;
};

// One record per label of the IdxMap, labels 65, 66, ... in the raster
// order of their first pixels, and point lists that point into the
// tracking-point sequence.
TEST_F(Engine, StuffInfoDescribesTheSegmentation)
{
    flow(older_, newer_, storage_, &info_);
    const cv::Mat map = cv::cvarrToMat(&info_.idxMap);
    EXPECT_EQ(map.size(), cv::Size(kWidth, kHeight));
    EXPECT_EQ(int(info_.idxMap.step), kWidth * 2);
    std::vector<int> firstSeen;
    std::set<int> seen;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int v = map.at<ushort>(i / kWidth, i % kWidth);
        if (v >= 65 && seen.insert(v).second)
            firstSeen.push_back(v);
    }

    std::set<const void*> points;
    for (int i = 0; i < info_.trackPoints->total; ++i)
        points.insert(cvGetSeqElem(info_.trackPoints, i));
    const auto segs = elements<SegmentRecord>(info_.segments);
    ASSERT_GT(segs.size(), 1u);
    ASSERT_EQ(firstSeen.size(), segs.size());
    for (size_t i = 0; i < segs.size(); ++i) {
        const int label = segs[i].label, count = segs[i].pixelCount;
        EXPECT_EQ(label, int(65 + i));
        EXPECT_EQ(firstSeen[i], label);
        EXPECT_GT(count, 0);
        EXPECT_LE(count, cv::countNonZero(map == label));
        CvSeq* list = segs[i].points;
        for (int k = 0; k < list->total; ++k) {
            const void* p;
            std::memcpy(&p, cvGetSeqElem(list, k), sizeof(p));
            EXPECT_EQ(points.count(p), 1u) << "segment " << i;
        }
    }
}

TEST_F(Engine, FieldIsTheSameWithoutStuffInfoAndWhateverTheOutputsHeld)
{
    const Field with = flow(older_, newer_, storage_, &info_, 0.0f);
    EXPECT_GT(cv::countNonZero(with.velx), 0);
    EXPECT_EQ(flow(older_, newer_, storage_, nullptr, 1000.0f), with);
    EXPECT_EQ(flow(older_, newer_, storage_, &info_, -77.0f), with);
}

// Every point whose window fits is measured, at no cost: velocity 0, valid.
TEST_F(Engine, IdenticalFramesGiveNoMotion)
{
    const Field f = flow(newer_, newer_, storage_, &info_, 5.0f);
    EXPECT_EQ(cv::countNonZero(f.velx) + cv::countNonZero(f.vely), 0);
    int measured = 0;
    for (const TrackPoint& p : elements<TrackPoint>(info_.trackPoints)) {
        const int x = p.x, y = p.y, vx = p.vx, vy = p.vy, valid = p.valid;
        const bool fits = std::max(x - 16, 0) <= kWidth - 33 &&
                          std::max(y - 16, 0) <= kHeight - 33;
        measured += fits;
        EXPECT_EQ(cv::Vec3i(vx, vy, valid), cv::Vec3i(0, 0, fits))
            << "point (" << x << ", " << y << ")";
    }
    EXPECT_GT(measured, 0);
}

// The newer frame is the older one moved as a whole by shifts the search
// reaches exactly; away from the borders most of the field has the shift.
TEST(EngineShift, InteriorOfTheFieldMovesWithTheFrame)
{
    const cv::Mat texture =
        SyntheticScene(kWidth + 32, kHeight + 32, 3).greyFrame(0);
    const cv::Rect interior(40, 40, kWidth - 80, kHeight - 80);
    for (const cv::Point s : {cv::Point(5, 5), cv::Point(-5, -5),
                              cv::Point(5, -5), cv::Point(1, 3)}) {
        CvMemStorage* storage = cvCreateMemStorage(0);
        const Field f =
            flow(texture(cv::Rect(16, 16, kWidth, kHeight)).clone(),
                 texture(cv::Rect(16 - s.x, 16 - s.y, kWidth, kHeight)).clone(),
                 storage, nullptr);
        const cv::Mat u = f.velx(interior) - s.x, v = f.vely(interior) - s.y;
        const cv::Mat close = (cv::abs(u) < 1.0f) & (cv::abs(v) < 1.0f);
        EXPECT_GT(cv::countNonZero(close), interior.area() * 3 / 5) << s;
        cvReleaseMemStorage(&storage);
    }
}

// Frames narrower or shorter than a window, down to one pixel: no point is
// measured and the field stays 0.
TEST(EngineSmallFrames, GiveNoMotion)
{
    for (const cv::Size size :
         {cv::Size(1, 1), cv::Size(3, 2), cv::Size(32, 60), cv::Size(60, 32)}) {
        const SyntheticScene scene(size.width, size.height, 5);
        CvMemStorage* storage = cvCreateMemStorage(0);
        StuffInfo info;
        const Field f =
            flow(scene.greyFrame(0), scene.greyFrame(1), storage, &info, 9.0f);
        EXPECT_EQ(cv::countNonZero(f.velx) + cv::countNonZero(f.vely), 0)
            << size;
        for (const TrackPoint& p : elements<TrackPoint>(info.trackPoints))
            EXPECT_EQ(int(p.valid), 0) << size;
        cvReleaseMemStorage(&storage);
    }
}

TEST_F(Engine, RepeatedCallsReuseTheStorage)
{
    auto blocks = [this] {
        int n = 0;
        for (const CvMemBlock* b = storage_->bottom; b; b = b->next)
            ++n;
        return n;
    };
    flow(older_, newer_, storage_, &info_);
    const int first = blocks();
    for (int call = 0; call < 3; ++call)
        flow(older_, newer_, storage_, &info_);
    EXPECT_EQ(blocks(), first);
}

// The IdxMap does not fit into one block of the storage: the library
// reports it, the scratch objects are released (the sanitizer build checks
// for leaks) and the StuffInfo stays as it was.
TEST_F(Engine, StorageBlockTooSmallForTheIdxMapFailsCleanly)
{
    CvMemStorage* small = cvCreateMemStorage(1024);
    std::memset(&info_, 0x5A, sizeof(info_));
    const StuffInfo before = info_;
    EXPECT_THROW(flow(older_, newer_, small, &info_), cv::Exception);
    EXPECT_EQ(std::memcmp(&info_, &before, sizeof(info_)), 0);
    EXPECT_NO_THROW(flow(older_, newer_, small, nullptr));
    cvReleaseMemStorage(&small);
}

#ifdef OF_ULK_STAGE_TIMING
TEST_F(Engine, StageTimesAddUpOverCalls)
{
    ulkResetStageSeconds();
    flow(older_, newer_, storage_, nullptr);
    const std::vector<double> once(ulkStageSeconds(),
                                   ulkStageSeconds() + kStageCount);
    flow(older_, newer_, storage_, nullptr);
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
                flow(older_, newer_, storage, nullptr);
            cvReleaseMemStorage(&storage);
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::vector<double> concurrent(ulkStageSeconds(),
                                         ulkStageSeconds() + kStageCount);
    ulkResetStageSeconds();
    flow(older_, newer_, storage_, nullptr);
    for (int stage = 0; stage < kStageCount; ++stage) {
        EXPECT_GT(concurrent[stage], ulkStageSeconds()[stage])
            << "stage " << stage;
    }
}
#endif

} // namespace
