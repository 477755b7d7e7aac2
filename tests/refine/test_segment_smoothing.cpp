// Segment-aware smoothing: motion does not cross a segment border, and
// pixels of no segment take the motion of the segments around them.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "refine/segment_smoothing.h"

using namespace ulk;

namespace {

TEST(SegmentSmoothing, KeepsEachSegmentsMotionAtItsBorder)
{
    // Left half segment 65 moving (2, 0), right half segment 66 moving
    // (-3, 1); a plain Gaussian would blend them along the border.
    cv::Mat labels(40, 60, CV_16UC1, cv::Scalar(65));
    labels.colRange(30, 60).setTo(66);
    cv::Mat u(labels.size(), CV_32FC1, cv::Scalar(2.0f));
    cv::Mat v(labels.size(), CV_32FC1, cv::Scalar(0.0f));
    u.colRange(30, 60).setTo(-3.0f);
    v.colRange(30, 60).setTo(1.0f);
    CvMat l = cvMat(labels), x = cvMat(u), y = cvMat(v);
    smoothWithinSegments(&l, &x, &y);
    EXPECT_FLOAT_EQ(u.at<float>(20, 29), 2.0f);
    EXPECT_FLOAT_EQ(u.at<float>(20, 30), -3.0f);
    EXPECT_FLOAT_EQ(v.at<float>(20, 29), 0.0f);
    EXPECT_FLOAT_EQ(v.at<float>(20, 30), 1.0f);
}

TEST(SegmentSmoothing, FillsPixelsOfNoSegmentFromTheirNeighbours)
{
    // A hole of level values (no segment) inside a segment moving (4, -2)
    // takes that motion instead of the 0 it held.
    cv::Mat labels(40, 40, CV_16UC1, cv::Scalar(80));
    labels(cv::Rect(16, 16, 6, 6)).setTo(3);
    cv::Mat u(labels.size(), CV_32FC1, cv::Scalar(4.0f));
    cv::Mat v(labels.size(), CV_32FC1, cv::Scalar(-2.0f));
    u(cv::Rect(16, 16, 6, 6)).setTo(0.0f);
    v(cv::Rect(16, 16, 6, 6)).setTo(0.0f);
    CvMat l = cvMat(labels), x = cvMat(u), y = cvMat(v);
    smoothWithinSegments(&l, &x, &y);
    EXPECT_FLOAT_EQ(u.at<float>(18, 18), 4.0f);
    EXPECT_FLOAT_EQ(v.at<float>(18, 18), -2.0f);
}

} // namespace
