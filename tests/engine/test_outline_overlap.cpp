// Outlines walked while the segmentation goes on: the scan's maps and
// records stay as they are, and every outline taken from the overlap is the
// one that a walk on the final map gives, however close behind the scan the
// walks follow and however early they happen.
#include "engine/outline_overlap.h"
#include "engine/segmentation.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ulk;

namespace {

// When the overlap's walks happen.
enum class Walks {
    Eager,     // on the scanning thread, the moment a segment is handed over
    Overlapped // on a second stripe, as the engine runs them
};

struct Segmented {
    cv::Mat labels, walk;
    std::vector<cv::Vec3i> records; // label, start x, start y
    SegmentOutlines outlines;
};

// The segmentation of levels, with the overlap's outlines unless lag is 0.
Segmented segment(const cv::Mat& levels, const cv::Mat& grey, Walks walks,
                  int lag)
{
    Segmented s;
    s.labels = levels.clone();
    s.walk = levels.clone();
    cv::Mat snapshot(levels.size(), CV_16UC1);
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    CvMat l = cvMat(levels.rows, levels.cols, CV_16UC1, s.labels.data);
    CvMat w = cvMat(levels.rows, levels.cols, CV_16UC1, s.walk.data);
    unsigned short* room = snapshot.ptr<unsigned short>();
    if (lag == 0)
        segmentRegions(&l, &w, grey.data, storage, segments);
    else if (walks == Walks::Eager)
        segmentWithEagerOutlines(&l, &w, grey.data, storage, segments, room,
                                 &s.outlines, lag);
    else
        segmentWithOutlines(&l, &w, grey.data, storage, segments, room,
                            &s.outlines, BesideScan(), lag);
    for (int i = 0; i < segments->total; ++i) {
        SegmentRecord r;
        std::memcpy(&r, cvGetSeqElem(segments, i), sizeof r);
        s.records.push_back(cv::Vec3i(r.label, r.startX, r.startY));
    }
    cvReleaseMemStorage(&storage);
    return s;
}

// Checks s against the plain segmentation and every walked outline against
// a walk on the final map; returns the number of walked outlines.
int expectSameAsAfterTheScan(const Segmented& s, const Segmented& plain)
{
    EXPECT_EQ(cv::countNonZero(s.labels != plain.labels), 0);
    EXPECT_EQ(cv::countNonZero(s.walk != plain.walk), 0);
    EXPECT_EQ(s.records, plain.records);
    EXPECT_EQ(s.outlines.walked.size(), s.records.size());
    EXPECT_EQ(s.outlines.outline.size(), s.records.size());
    cv::Mat final = plain.labels.clone();
    CvMat map = cvMat(final.rows, final.cols, CV_16UC1, final.data);
    CvMemStorage* scratch = cvCreateMemStorage(0);
    int walked = 0;
    for (size_t i = 0; i < s.outlines.walked.size(); ++i) {
        if (!s.outlines.walked[i])
            continue;
        ++walked;
        SegmentOutline expected;
        outlineSegment(&map, s.records[i][1], s.records[i][2], scratch,
                       &expected);
        const SegmentOutline& got = s.outlines.outline[i];
        EXPECT_EQ(std::vector<int>(got.rect, got.rect + 4),
                  std::vector<int>(expected.rect, expected.rect + 4))
            << "segment " << i;
        EXPECT_EQ(got.vertices.size(), expected.vertices.size())
            << "segment " << i;
        for (size_t k = 0;
             k < got.vertices.size() && k < expected.vertices.size(); ++k)
            EXPECT_TRUE(got.vertices[k].x == expected.vertices[k].x &&
                        got.vertices[k].y == expected.vertices[k].y)
                << "segment " << i << ", vertex " << k;
    }
    cvReleaseMemStorage(&scratch);
    return walked;
}

// Runs f; a call that has not returned after a minute (a stripe waiting for
// the other for ever) ends the test program instead of holding the suite.
void withinAMinute(const std::function<void()>& f)
{
    std::atomic<bool> done{false};
    std::thread watchdog([&done] {
        for (int i = 0; i < 600 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) {
            std::fprintf(stderr, "the call still runs after a minute\n");
            std::_Exit(1);
        }
    });
    f();
    done = true;
    watchdog.join();
}

} // namespace

// Walks made at the earliest moment, on maps whose merges and stale pixels
// reach far up behind the scan when the lag is short: a segment that the
// scan writes to after its hand-over must not keep its early walk.
TEST(OutlineOverlap, EarlyWalksGiveTheOutlinesOfTheFinalMap)
{
    std::mt19937 rng(29);
    int walked = 0, segments = 0;
    for (int trial = 0; trial < 120; ++trial) {
        cv::Mat levels, grey;
        randomLevelMap(&rng, &levels, &grey, 2);
        const Segmented plain = segment(levels, grey, Walks::Eager, 0);
        for (const int lag : {1, 2, 5, kOutlineLag}) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ", lag " +
                         std::to_string(lag));
            walked += expectSameAsAfterTheScan(
                segment(levels, grey, Walks::Eager, lag), plain);
            if (HasFailure())
                return;
        }
        segments += int(plain.records.size());
    }
    // Most segments are handed over before the scan ends.
    EXPECT_GT(walked, segments);
}

// The same with the walks on a second stripe, as the engine runs them.
TEST(OutlineOverlap, WalksBesideTheScanGiveTheOutlinesOfTheFinalMap)
{
    const int saved = cv::getNumThreads();
    cv::setNumThreads(2);
    std::mt19937 rng(31);
    for (int trial = 0; trial < 30; ++trial) {
        cv::Mat levels, grey;
        randomLevelMap(&rng, &levels, &grey, 4);
        const Segmented plain = segment(levels, grey, Walks::Eager, 0);
        for (const int lag : {1, kOutlineLag}) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ", lag " +
                         std::to_string(lag));
            expectSameAsAfterTheScan(
                segment(levels, grey, Walks::Overlapped, lag), plain);
            if (HasFailure()) {
                cv::setNumThreads(saved);
                return;
            }
        }
    }
    cv::setNumThreads(saved);
}

// A failure on either stripe reaches the caller as it was raised, and the
// other stripe does not wait for it for ever: the scan's first segment
// cannot get its point list from a storage of 64-byte blocks, and work
// beside the scan can throw before its walks.
TEST(OutlineOverlap, FailuresOfEitherStripeReachTheCaller)
{
    const int saved = cv::getNumThreads();
    cv::setNumThreads(2);
    std::mt19937 rng(37);
    cv::Mat levels, grey;
    randomLevelMap(&rng, &levels, &grey, 4);
    cv::Mat labels = levels.clone(), walk = levels.clone();
    cv::Mat snapshot(levels.size(), CV_16UC1);
    CvMat l = cvMat(levels.rows, levels.cols, CV_16UC1, labels.data);
    CvMat w = cvMat(levels.rows, levels.cols, CV_16UC1, walk.data);
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvMemStorage* tiny = cvCreateMemStorage(64);
    SegmentOutlines outlines;

    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    int code = 0;
    withinAMinute([&] {
        try {
            segmentWithOutlines(&l, &w, grey.data, tiny, segments,
                                snapshot.ptr<unsigned short>(), &outlines);
        } catch (const cv::Exception& e) {
            code = e.code;
        }
    });
    EXPECT_EQ(code, cv::Error::StsOutOfRange);

    levels.copyTo(labels);
    levels.copyTo(walk);
    segments = cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    BesideScan beside;
    beside.first = [] { throw std::runtime_error("beside"); };
    std::string what;
    withinAMinute([&] {
        try {
            segmentWithOutlines(&l, &w, grey.data, storage, segments,
                                snapshot.ptr<unsigned short>(), &outlines,
                                beside);
        } catch (const std::runtime_error& e) {
            what = e.what();
        }
    });
    EXPECT_EQ(what, "beside");
    // The scan itself ran to its end.
    EXPECT_GT(segments->total, 0);

    cvReleaseMemStorage(&tiny);
    cvReleaseMemStorage(&storage);
    cv::setNumThreads(saved);
}
