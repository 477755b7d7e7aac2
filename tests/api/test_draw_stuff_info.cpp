#include "cvoptflowulk.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Scalar kBackground(7, 8, 9);

// A hand-made StuffInfo whose IdxMap is a header over `labels`.
struct Info {
    cv::Mat labels;
    CvMemStorage* storage = cvCreateMemStorage(0);
    StuffInfo info;

    Info(int rows, int cols) : labels(rows, cols, CV_16U, cv::Scalar(0))
    {
        info.idxMap = cvMat(labels);
        info.segments =
            cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
        info.trackPoints =
            cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage);
    }
    ~Info() { cvReleaseMemStorage(&storage); }

    void addSegment(int label, unsigned char grey, cv::Rect r, cv::Point s)
    {
        SegmentRecord rec{label,    grey, 0,   r.x,     r.y, r.width,
                          r.height, s.x,  s.y, nullptr, 0};
        cvSeqPush(info.segments, &rec);
    }
    cv::Mat draw(cv::Scalar background = kBackground)
    {
        cv::Mat image(labels.size(), CV_8UC3, background);
        CvMat header = cvMat(image);
        cvDrawOpticalFlowStuffInfo(&header, &info);
        return image;
    }
};

double differingPixels(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a, b, cv::NORM_INF);
}

} // namespace

TEST(DrawStuffInfo, EmptyInfoLeavesTheImageUnchanged)
{
    Info f(10, 12);
    f.labels(cv::Rect(2, 2, 3, 3)) = cv::Scalar(65);
    cv::Mat unchanged(10, 12, CV_8UC3, kBackground);
    EXPECT_EQ(differingPixels(f.draw(), unchanged), 0.0);
}

// Segment 65: a 5 x 5 block at (1, 1) around a pixel of 70, with a
// rectangle two columns and two rows short and a stray 65 pixel outside the
// rectangle. Segment 66: a single pixel, walked with no direction.
TEST(DrawStuffInfo, FillsMatchingLabelsInsideTheRectangleUnderTheOutline)
{
    Info f(10, 12);
    f.labels(cv::Rect(1, 1, 5, 5)) = cv::Scalar(65);
    f.labels.at<unsigned short>(3, 3) = 70;
    f.labels.at<unsigned short>(8, 10) = 65;
    f.labels.at<unsigned short>(2, 8) = 66;
    f.addSegment(65, 50, cv::Rect(1, 1, 2, 2), cv::Point(1, 1));
    f.addSegment(66, 90, cv::Rect(8, 2, 0, 0), cv::Point(8, 2));

    cv::Mat expected(10, 12, CV_8UC3, kBackground);
    expected(cv::Rect(1, 1, 3, 3)) = cv::Scalar::all(50);
    expected.at<cv::Vec3b>(3, 3) = cv::Vec3b(7, 8, 9);
    cv::rectangle(expected, cv::Rect(1, 1, 5, 5), cv::Scalar(128, 100, 100));
    expected.at<cv::Vec3b>(2, 8) = cv::Vec3b(0, 0, 255);
    cv::Mat image = f.draw();
    EXPECT_EQ(differingPixels(image, expected), 0.0) << image;
}

// The velocity is drawn doubled; what reaches past the border is clipped.
TEST(DrawStuffInfo, TrackPointsGetACircleAndTwiceTheirMotion)
{
    const struct {
        cv::Point at, velocity, lineEnd; // lineEnd: a pixel the line covers
    } cases[] = {{{10, 20}, {3, -1}, {16, 18}},
                 {{5, 5}, {0, 0}, {5, 5}},
                 {{38, 1}, {2, -4}, {38, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "point " << c.at << " velocity " << c.velocity);
        Info f(40, 40);
        TrackPoint point{c.at.x, c.at.y, c.velocity.x, c.velocity.y, 0};
        cvSeqPush(f.info.trackPoints, &point); // rejected: drawn all the same

        cv::Mat expected(40, 40, CV_8UC3, cv::Scalar::all(0));
        cv::circle(expected, c.at, 1, cv::Scalar(0, 255, 0));
        cv::line(expected, c.at, c.at + 2 * c.velocity,
                 cv::Scalar(255, 255, 0));
        cv::Mat image = f.draw(cv::Scalar::all(0));
        EXPECT_EQ(differingPixels(image, expected), 0.0);
        EXPECT_EQ(image.at<cv::Vec3b>(c.lineEnd), cv::Vec3b(255, 255, 0));
    }
}

TEST(DrawStuffInfo, BadArgumentsAreReportedInOrderAndDrawNothing)
{
    Info f(10, 12);
    f.labels(cv::Rect(1, 1, 2, 2)) = cv::Scalar(65);
    f.addSegment(65, 50, cv::Rect(1, 1, 1, 1), cv::Point(1, 1));
    const char* func = "cvDrawOpticalFlowStuffInfo";
    EXPECT_CV_ERROR(cvDrawOpticalFlowStuffInfo(nullptr, nullptr),
                    CV_StsBackTrace, func, "Inner function failed.");

    const struct {
        int type, rows, cols, code;
        StuffInfo* info;
        const char* message;
    } cases[] = {
        {CV_8UC3, 10, 12, CV_StsNullPtr, nullptr, "NULL StuffInfo pointer "},
        {CV_8UC1, 10, 12, CV_StsUnsupportedFormat, &f.info,
         "Image for drawing must have 8uC3 type"},
        {CV_8UC4, 9, 12, CV_StsUnsupportedFormat, &f.info,
         "Image for drawing must have 8uC3 type"},
        {CV_8UC3, 9, 12, CV_StsUnmatchedSizes, &f.info,
         "Image for drawing is smaller than the index map"},
        {CV_8UC3, 10, 11, CV_StsUnmatchedSizes, &f.info,
         "Image for drawing is smaller than the index map"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " size "
                                        << c.cols << " x " << c.rows);
        cv::Mat image(c.rows, c.cols, c.type, cv::Scalar::all(3));
        CvMat header = cvMat(image);
        EXPECT_CV_ERROR(cvDrawOpticalFlowStuffInfo(&header, c.info), c.code,
                        func, c.message);
        EXPECT_EQ(cv::countNonZero(image.reshape(1) != 3), 0);
    }
}
