// Dense velocity field on hand-made segments, tracking points and label
// maps: node weights, the blend between nodes, the block area and the grey
// statistics.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstring>
#include <vector>

#include "engine/dense_field.h"

using namespace ulk;

namespace {

// What the velocity maps hold where the stage must not write.
const float kUntouched = -100.0f;

struct Scene {
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    CvSeq* points = cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage);
    cv::Mat labels, velx, vely, grey;

    Scene(int width, int height)
        : labels(height, width, CV_16UC1, cv::Scalar(0)),
          velx(height, width, CV_32FC1, cv::Scalar(kUntouched)),
          vely(velx.clone()), grey(height, width, CV_8UC1, cv::Scalar(0))
    {
    }
    ~Scene() { cvReleaseMemStorage(&storage); }

    TrackPoint* point(int x, int y, int vx, int vy, int valid = 1)
    {
        TrackPoint p = {x, y, vx, vy, static_cast<unsigned char>(valid)};
        return reinterpret_cast<TrackPoint*>(cvSeqPush(points, &p));
    }
    // Appends a record; meanGrey 201 and pixelCount -5 show whether the
    // stage wrote them. Width and height are extents, as in the records.
    void segment(int label, int x, int y, int width, int height,
                 const std::vector<TrackPoint*>& list)
    {
        SegmentRecord r = {label,  201, -5, x,       y, width,
                           height, 0,   0,  nullptr, 0};
        r.points = cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint*), storage);
        for (TrackPoint* p : list)
            cvSeqPush(r.points, &p);
        cvSeqPush(segments, &r);
    }
    void run(bool withGrey, OtherPixels others = OtherPixels::Keep)
    {
        CvMat l = cvMat(labels), g = cvMat(grey), x = cvMat(velx),
              y = cvMat(vely);
        fillDenseField(segments, &l, withGrey ? &g : nullptr, &x, &y, others);
    }
    cv::Vec2f at(int x, int y) const
    {
        return {velx.at<float>(y, x), vely.at<float>(y, x)};
    }
    // pixelCount and meanGrey of a record.
    cv::Vec2i stats(int index) const
    {
        SegmentRecord r;
        std::memcpy(&r, cvGetSeqElem(segments, index), sizeof(r));
        return {r.pixelCount, r.meanGrey};
    }
};

const cv::Vec2f kNone(kUntouched, kUntouched);

// Points on opposite corners of one 8 x 8 block: each corner node takes its
// own point (the nearer has all the weight), the two other corners are
// equally far from both and take their mean, and the blend inside gives
// velx = 16 - x - y and vely = x + y.
TEST(DenseField, BlockBlendsItsFourNodes)
{
    Scene s(16, 16);
    s.labels(cv::Rect(0, 0, 8, 8)).setTo(70);
    s.segment(70, 0, 0, 7, 7, {s.point(0, 0, 16, 0), s.point(8, 8, 0, 16)});
    s.run(false);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(s.at(x, y), cv::Vec2f(16 - x - y, x + y))
                << "(" << x << ", " << y << ")";
    EXPECT_EQ(s.at(8, 0), kNone);
}

// At node (0, 0): squared distances 0, 16, 0 (the nearest point twice) and
// 64 give weights 64, 48, 64 and 0 out of 176; a rejected point counts not
// at all. Counted once, the nearest point would weigh 64 of 112.
TEST(DenseField, PointCountsAsOftenAsItStandsInTheList)
{
    Scene s(16, 16);
    s.labels.at<unsigned short>(0, 0) = 65;
    TrackPoint* nearest = s.point(0, 0, 11, 0);
    s.segment(65, 0, 0, 0, 0,
              {nearest, s.point(4, 0, 0, 22), nearest, s.point(8, 0, 100, 100),
               s.point(0, 0, 50, 50, 0)});
    s.run(false);
    EXPECT_FLOAT_EQ(s.at(0, 0)[0], 128.0f * 11 / 176);
    EXPECT_FLOAT_EQ(s.at(0, 0)[1], 48.0f * 22 / 176);
}

// Where every entry weighs nothing the node takes the plain mean of the
// entries; without any valid point it is (0, 0). Pixel (8, 0) is node (1, 0)
// of a segment spanning x = 0 to 8.
TEST(DenseField, NodeWithoutWeightsTakesTheMean)
{
    struct Case {
        const char* name;
        std::vector<cv::Vec4i> points; // x, vx, vy, valid, all at y = 0
        int repeatFirst;
        cv::Vec2f expected;
    } cases[] = {
        {"one point", {{3, 7, -3, 1}, {20, 9, 9, 0}}, 1, {7, -3}},
        {"two equally far", {{0, 3, 0, 1}, {16, 0, 3, 1}}, 1, {1.5f, 1.5f}},
        {"first of them twice", {{0, 3, 0, 1}, {16, 0, 3, 1}}, 2, {2, 1}},
        {"none valid", {{0, 5, 5, 0}, {16, 6, 6, 0}}, 1, {0, 0}},
        {"empty list", {}, 1, {0, 0}},
    };
    for (const Case& c : cases) {
        Scene s(24, 8);
        s.labels.at<unsigned short>(0, 8) = 65;
        std::vector<TrackPoint*> list;
        for (size_t i = 0; i < c.points.size(); ++i) {
            const cv::Vec4i& p = c.points[i];
            TrackPoint* tp = s.point(p[0], 0, p[1], p[2], p[3]);
            list.insert(list.end(), i == 0 ? c.repeatFirst : 1, tp);
        }
        s.segment(65, 0, 0, 8, 0, list);
        s.run(false);
        EXPECT_EQ(s.at(8, 0), c.expected) << c.name;
    }
}

// A zero-size rectangle at (8, 8) has one block, (8, 8) to (15, 15): its
// label at (15, 15) is written and counted, at (16, 8) and (7, 8) neither.
// meanGrey is the truncated mean over exactly the written pixels.
TEST(DenseField, OnlyLabelledPixelsOfTheBlockAreaAreWrittenAndCounted)
{
    Scene s(24, 24);
    s.grey.setTo(250);
    for (cv::Point p : {cv::Point(8, 8), cv::Point(15, 15), cv::Point(16, 8),
                        cv::Point(7, 8)})
        s.labels.at<unsigned short>(p) = 65;
    s.grey.at<uchar>(8, 8) = 10;
    s.grey.at<uchar>(15, 15) = 21;
    s.segment(65, 8, 8, 0, 0, {s.point(8, 8, 2, 3)});
    s.run(false);
    EXPECT_EQ(s.stats(0), cv::Vec2i(-5, 201)); // no grey, no statistics
    s.run(true);
    EXPECT_EQ(s.stats(0), cv::Vec2i(2, 15));
    EXPECT_EQ(s.at(8, 8), cv::Vec2f(2, 3));
    EXPECT_EQ(s.at(15, 15), cv::Vec2f(2, 3));
    EXPECT_EQ(s.at(16, 8), kNone);
    EXPECT_EQ(s.at(7, 8), kNone);
    EXPECT_EQ(s.at(9, 8), kNone);
}

// A 21 x 13 frame that is one segment: its blocks reach past the right and
// bottom borders. The velocity maps are views into larger ones, so a write
// past the frame would show in the margin.
TEST(DenseField, BlocksPastTheBorderWriteNothingThere)
{
    Scene s(21, 13);
    cv::Mat bigX(21, 29, CV_32FC1, cv::Scalar(kUntouched)), bigY = bigX.clone();
    s.velx = bigX(cv::Rect(0, 0, 21, 13));
    s.vely = bigY(cv::Rect(0, 0, 21, 13));
    s.labels.setTo(65);
    s.grey.setTo(40);
    s.segment(65, 0, 0, 20, 12, {s.point(4, 4, 2, -1)});
    s.run(true);
    EXPECT_EQ(cv::countNonZero(s.velx != 2.0f), 0);
    EXPECT_EQ(cv::countNonZero(s.vely != -1.0f), 0);
    EXPECT_EQ(cv::countNonZero(bigX != kUntouched), 21 * 13);
    EXPECT_EQ(cv::countNonZero(bigY != kUntouched), 21 * 13);
    EXPECT_EQ(s.stats(0), cv::Vec2i(21 * 13, 40));
}

// With OtherPixels::Zero the pixels of no segment become 0 and the
// segment's pixels take their velocity, within the frame only: the maps
// are views into larger ones.
TEST(DenseField, ZeroClearsTheOtherPixelsOfTheFrameOnly)
{
    Scene s(21, 13);
    cv::Mat bigX(13, 29, CV_32FC1, cv::Scalar(kUntouched)), bigY = bigX.clone();
    s.velx = bigX(cv::Rect(0, 0, 21, 13));
    s.vely = bigY(cv::Rect(0, 0, 21, 13));
    const cv::Rect segment(3, 2, 9, 6);
    s.labels(segment).setTo(65);
    s.segment(65, segment.x, segment.y, segment.width - 1, segment.height - 1,
              {s.point(5, 4, 2, -1)});
    s.run(false, OtherPixels::Zero);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 21; ++x)
            EXPECT_EQ(s.at(x, y), segment.contains({x, y}) ? cv::Vec2f(2, -1)
                                                           : cv::Vec2f(0, 0))
                << "x " << x << " y " << y;
    EXPECT_EQ(cv::countNonZero(bigX.colRange(21, 29) != kUntouched), 0);
    EXPECT_EQ(cv::countNonZero(bigY.colRange(21, 29) != kUntouched), 0);
}

} // namespace
