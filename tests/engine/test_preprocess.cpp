// Preprocessing: the working objects of a call, where the label map lives,
// the thresholded and equalised copy of the newer frame, the integral images
// and the ten grey levels.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "engine/preprocess.h"

using namespace ulk;

namespace {

bool inStorage(const CvMemStorage* storage, const void* p)
{
    for (const CvMemBlock* b = storage->bottom; b; b = b->next) {
        const char* start = reinterpret_cast<const char*>(b);
        if (p >= start && p < start + storage->block_size)
            return true;
    }
    return false;
}

cv::Size sizeOf(const CvMat* m)
{
    return cv::Size(m->cols, m->rows);
}

class WorkObjects : public ::testing::TestWithParam<bool> {};

// The storage is cleared first; the label map comes from it only for a
// StuffInfo; maps are continuous 16-bit, integral images one larger.
TEST_P(WorkObjects, AreMadeForTheFrame)
{
    const bool withStuffInfo = GetParam();
    CvMemStorage* storage = cvCreateMemStorage(4096);
    for (int i = 0; i < 3; ++i)
        cvMemStorageAlloc(storage, 3000);
    const cv::Mat src(23, 37, CV_8UC1, cv::Scalar(0));
    CvMat header = cvMat(src);
    FlowWork work;
    createWorkObjects(&header, storage, withStuffInfo, &work);

    EXPECT_EQ(storage->top, storage->bottom);
    EXPECT_EQ(inStorage(storage, work.labelData), withStuffInfo);
    EXPECT_FALSE(inStorage(storage, work.markData));
    EXPECT_EQ(sizeOf(work.workImage), cv::Size(37, 23));
    for (const CvMat* sum : {work.integralA, work.integralB}) {
        EXPECT_EQ(CV_MAT_TYPE(sum->type), CV_32SC1);
        EXPECT_EQ(sizeOf(sum), cv::Size(38, 24));
    }
    for (const CvMat* map : {&work.labelMap, &work.markMap}) {
        EXPECT_EQ(CV_MAT_TYPE(map->type), CV_16UC1);
        EXPECT_EQ(sizeOf(map), cv::Size(37, 23));
        EXPECT_EQ(map->step, 37 * 2);
    }
    EXPECT_EQ(work.segments->elem_size, int(sizeof(SegmentRecord)));
    EXPECT_EQ(work.trackPoints->elem_size, int(sizeof(TrackPoint)));
    releaseWorkObjects(&work);
    releaseWorkObjects(&work); // a second release frees nothing again
    EXPECT_EQ(work.workImage, nullptr);
    cvReleaseMemStorage(&storage);
}

INSTANTIATE_TEST_SUITE_P(StuffInfo, WorkObjects, ::testing::Bool());

// Bands of 5, 10 and 11 in the newer frame: values up to 10 go to 0 before
// the equalisation, so the first two bands end at 0 and the third at 255.
// The integral images still sum the raw frames.
TEST(Preprocess, DarkValuesAreDroppedOnlyFromTheWorkImage)
{
    cv::Mat newer(12, 60, CV_8UC1), older(12, 60, CV_8UC1, cv::Scalar(200));
    newer.colRange(0, 20).setTo(5);
    newer.colRange(20, 40).setTo(10);
    newer.colRange(40, 60).setTo(11);
    CvMat a = cvMat(older), b = cvMat(newer);
    CvMemStorage* storage = cvCreateMemStorage(0);
    FlowWork work;
    createWorkObjects(&a, storage, false, &work);
    prepareWorkImage(&b, &work);
    integrateFrames(&a, &b, &work);

    const uchar* row = work.workImage->data.ptr + 6 * work.workImage->step;
    EXPECT_EQ(row[10], 0);
    EXPECT_EQ(row[30], 0);
    EXPECT_EQ(row[50], 255);
    EXPECT_EQ(CV_MAT_ELEM(*work.integralA, int, 12, 60), 200 * 12 * 60);
    EXPECT_EQ(CV_MAT_ELEM(*work.integralB, int, 12, 60), 26 * 12 * 20);
    EXPECT_EQ(CV_MAT_ELEM(*work.integralB, int, 5, 1), 5 * 5);
    releaseWorkObjects(&work);
    cvReleaseMemStorage(&storage);
}

TEST(Quantise, TwentySixGreysALevelIntoBothMaps)
{
    const uchar greys[] = {0, 25, 26, 51, 52, 233, 234, 255};
    const unsigned short levels[] = {1, 1, 2, 2, 3, 9, 10, 10};
    cv::Mat grey(1, 8, CV_8UC1, const_cast<uchar*>(greys));
    cv::Mat label(1, 8, CV_16UC1), walk(1, 8, CV_16UC1);
    CvMat g = cvMat(grey), l = cvMat(label), w = cvMat(walk);
    quantiseLevels(&g, &l, &w);
    EXPECT_EQ(cv::countNonZero(label != cv::Mat(1, 8, CV_16UC1,
                                                const_cast<ushort*>(levels))),
              0);
    EXPECT_EQ(cv::countNonZero(label != walk), 0);
}

} // namespace
