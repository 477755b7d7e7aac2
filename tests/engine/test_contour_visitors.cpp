#include "engine/contour_visitors.h"
#include "engine/contour_walk.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <vector>

using namespace ulk;

namespace {

// Runs a measuring walk from (x, y) the way the segmentation does; box is
// (least x, least y, greatest x, greatest y).
SegmentMeasure measure(const cv::Mat& map, const cv::Mat& grey, int x, int y,
                       cv::Vec4i& box)
{
    CvMat header = cvMat(map);
    box = cv::Vec4i(x, y, x, y);
    SegmentMeasure m{&header, grey.data, 0, INT_MAX, 0, &box[0], &box[2]};
    traceContour(measureSegmentPoint, &header, x, y, &m);
    return m;
}

cv::Mat labels(int rows, int cols, int background, cv::Rect block,
               int label = 5)
{
    cv::Mat m(rows, cols, CV_16U, cv::Scalar(background));
    m(block) = cv::Scalar(label);
    return m;
}

} // namespace

// An L of a 2-wide column (h rows) and a 2-high foot (w columns) at (1, 1)
// has an outline of 2w + 2h - 5 points; the walk from (2, 5) starts at
// (2, 1) going down and ends with (1, 2), (1, 1), (2, 1).
TEST(Measure, CountStopsAfter141PointsWithBoxOfThoseOnly)
{
    const struct {
        int w, h, count;
        cv::Vec4i box;
    } cases[] = {{40, 32, 139, {1, 1, 40, 32}},
                 {40, 33, 141, {1, 1, 40, 33}},
                 {41, 33, 142, {1, 2, 41, 33}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "w " << c.w << " h " << c.h);
        cv::Mat m = labels(40, 50, 2, cv::Rect(1, 1, 2, c.h));
        m(cv::Rect(1, c.h - 1, c.w, 2)) = cv::Scalar(5);
        cv::Vec4i box;
        SegmentMeasure r = measure(m, cv::Mat::zeros(40, 50, CV_8U), 2, 5, box);
        EXPECT_EQ(r.count, c.count);
        EXPECT_EQ(box, c.box);
        EXPECT_EQ(r.bestLabel, 2);
    }
}

// Only the neighbours from the k-th on, in the order down, down-left, left,
// up-left, up, up-right, right, down-right, hold a value other than 0.
TEST(Measure, IsolatedPixelTakesFirstNonZeroNeighbourFromBelowClockwise)
{
    const cv::Point order[8] = {{2, 3}, {1, 3}, {1, 2}, {1, 1},
                                {2, 1}, {3, 1}, {3, 2}, {3, 3}};
    for (int k = 0; k < 8; ++k) {
        SCOPED_TRACE(testing::Message() << "first non-zero neighbour " << k);
        cv::Mat m = labels(5, 5, 0, cv::Rect(2, 2, 1, 1), 7);
        cv::Mat grey(5, 5, CV_8U, cv::Scalar(50));
        for (int i = k; i < 8; ++i) {
            m.at<unsigned short>(order[i]) = 20 + i;
            grey.at<unsigned char>(order[i]) = 40 + i;
        }
        cv::Vec4i box;
        SegmentMeasure r = measure(m, grey, 2, 2, box);
        EXPECT_EQ(r.count, 1);
        EXPECT_EQ(r.bestLabel, 20 + k);
        EXPECT_EQ(r.bestDiff, (10 - k) * (10 - k));
    }
}

// The run (1, 1)-(2, 1) reports (2, 1) with (2, 0) on its left (grey +3),
// then (1, 1) with (1, 2) on its left.
TEST(Measure, EqualGreyDifferenceKeepsTheValueFoundFirst)
{
    for (int second : {-3, 3, -2, 4}) {
        SCOPED_TRACE(testing::Message() << "second difference " << second);
        cv::Mat m = labels(4, 4, 30, cv::Rect(1, 1, 2, 1));
        m.at<unsigned short>(0, 2) = 20;
        m.at<unsigned short>(2, 1) = 21;
        cv::Mat grey(4, 4, CV_8U, cv::Scalar(100));
        grey.at<unsigned char>(0, 2) = 103;
        grey.at<unsigned char>(2, 1) = 100 + second;
        cv::Vec4i box;
        EXPECT_EQ(measure(m, grey, 1, 1, box).bestLabel,
                  second * second < 9 ? 21 : 20);
    }
}

// A run of three along the top or the bottom border: pixels beyond the
// border read 0, so the top run searches its neighbours below, and the
// bottom run's search, meeting 0 first, keeps what it had. A third grey row
// past the map would make a read of 0 a perfect match.
TEST(Measure, OutsideOfTheMapIsSearchedPastAndNeverChosen)
{
    for (int top : {1, 0}) {
        SCOPED_TRACE(top ? "top border" : "bottom border");
        cv::Mat m = (cv::Mat_<unsigned short>(2, 4) << 5, 5, 5, 9, 6, 7, 8, 9);
        cv::Mat grey(3, 4, CV_8U, cv::Scalar(100));
        const unsigned char innerGrey[4] = {150, 120, 101, 100};
        std::copy(innerGrey, innerGrey + 4, grey.ptr(1));
        if (!top) {
            cv::flip(m, m, 0);
            cv::Mat onMap = grey.rowRange(0, 2);
            cv::flip(onMap.clone(), onMap, 0);
        }
        cv::Vec4i box;
        SegmentMeasure r = measure(m, grey, 0, 1 - top, box);
        EXPECT_EQ(r.count, 4);
        EXPECT_EQ(r.bestLabel, 8);
        EXPECT_EQ(r.bestDiff, 1);
    }
}

TEST(Outline, BlockGivesCornersAndExtentsAndReusesTheSequence)
{
    cv::Mat m = labels(6, 6, 1, cv::Rect(1, 1, 3, 3));
    m.at<unsigned short>(4, 5) = 6;
    CvMat header = cvMat(m);
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* outline = nullptr;
    cv::Vec4i rect;
    auto points = [&outline] {
        std::vector<cv::Point> out;
        for (int i = 0; i < outline->total; ++i)
            out.push_back(*CV_GET_SEQ_ELEM(CvPoint, outline, i));
        return out;
    };

    extractOutline(&header, 1, 1, storage, &outline, &rect[0]);
    ASSERT_NE(outline, nullptr);
    EXPECT_EQ(points(),
              (std::vector<cv::Point>{{2, 1}, {3, 1}, {3, 3}, {1, 3}}));
    EXPECT_EQ(rect, cv::Vec4i(1, 1, 2, 2));

    CvSeq* first = outline;
    extractOutline(&header, 5, 4, storage, &outline, &rect[0]);
    EXPECT_EQ(outline, first);
    EXPECT_EQ(points(), std::vector<cv::Point>(1, cv::Point(5, 4)));
    EXPECT_EQ(rect, cv::Vec4i(5, 4, 0, 0));

    extractOutline(&header, 1, 1, storage, &outline, nullptr);
    EXPECT_EQ(outline->total, 4);
    cvReleaseMemStorage(&storage);
}

TEST(Outline, MarkingWritesTheLabelAlongTheOutlineOf16BitTargetsOnly)
{
    cv::Mat walkMap = labels(6, 6, 1, cv::Rect(1, 1, 3, 3));
    CvMat walkHeader = cvMat(walkMap);
    for (int type : {CV_8U, CV_16U, CV_16S}) {
        SCOPED_TRACE(testing::Message() << "target type " << type);
        cv::Mat target(6, 6, type, cv::Scalar(0));
        CvMat targetHeader = cvMat(target);
        cv::Vec4i box(-7, -7, -7, -7);
        markOutline(&walkHeader, &targetHeader, 2, 2, 40000, &box[0], &box[2]);

        // The ring around the untouched centre (2, 2) takes the label.
        cv::Mat expected = labels(6, 6, 0, cv::Rect(1, 1, 3, 3), 40000);
        expected.at<unsigned short>(2, 2) = 0;
        cv::Mat written =
            type == CV_8U ? target : cv::Mat(6, 6, CV_16U, target.data);
        if (type == CV_8U)
            expected = cv::Mat::zeros(6, 6, CV_8U);
        EXPECT_EQ(cv::countNonZero(written != expected), 0) << written;
        EXPECT_EQ(box, type == CV_8U ? cv::Vec4i(-7, -7, -7, -7)
                                     : cv::Vec4i(1, 1, 3, 3));
    }
}

// A long outline walked on from where its cut measuring walk stood: the
// kept points, then the rest of the walk, are the points of a walk of its
// own, in order. The regions are ragged blobs of smoothed noise, whose
// outlines turn often and pass some points twice.
TEST(Outline, WalkGoesOnFromACutMeasuringWalk)
{
    int longOutlines = 0;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        cv::RNG rng(seed);
        cv::Mat noise(90, 90, CV_32F);
        rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
        cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.5);
        cv::Mat map(noise.size(), CV_16U, cv::Scalar(2));
        map.setTo(5, noise > 0.48);
        cv::Mat grey(map.size(), CV_8U, cv::Scalar(100));
        cv::Point first(-1, -1);
        for (int y = 0; y < map.rows && first.x < 0; ++y)
            for (int x = 0; x < map.cols && first.x < 0; ++x)
                if (map.at<unsigned short>(y, x) == 5)
                    first = cv::Point(x, y);
        ASSERT_GE(first.x, 0);

        CvMat header = cvMat(map);
        std::vector<CvPoint> whole;
        followContourOn(&header, first.x, first.y,
                        [&whole](int x, int y, int, int) {
                            whole.push_back(cvPoint(x, y));
                            return true;
                        });
        if (int(whole.size()) <= kMeasureLimit)
            continue;
        ++longOutlines;

        cv::Vec4i box(first.x, first.y, first.x, first.y);
        SegmentMeasure m{&header, grey.data, 0, INT_MAX, 0, &box[0], &box[2]};
        CvPoint kept[kMeasureLimit];
        WalkState cut;
        measureRegion(&m, first.x, first.y, kept, &cut);
        ASSERT_EQ(m.count, kMeasureLimit + 1);
        std::vector<CvPoint> resumed(kept, kept + kMeasureLimit);
        restOfOutline(&header, cut, &resumed);
        ASSERT_EQ(resumed.size(), whole.size());
        for (size_t k = 0; k < whole.size(); ++k)
            ASSERT_TRUE(resumed[k].x == whole[k].x &&
                        resumed[k].y == whole[k].y)
                << "point " << k;
    }
    EXPECT_GT(longOutlines, 6) << "too few outlines past the measure's limit";
}
