// Segment outlines and tracking points: the identity rule, rectangles,
// sharing of points between and within segments, and the references.
#include "engine/motion.h"
#include "engine/segmentation.h"
#include "engine/track_points.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace ulk;

namespace {

typedef std::pair<int, int> XY;

// A label map drawn by the test, segment records on it (made by hand or by
// segmentRegions) and the sequences that buildTrackPoints fills.
struct Outlines {
    cv::Mat labels;
    CvMat header;
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    CvSeq* points = cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage);

    explicit Outlines(const cv::Mat& map) : labels(map.clone())
    {
        header = cvMat(labels.rows, labels.cols, CV_16UC1, labels.data);
    }
    ~Outlines() { cvReleaseMemStorage(&storage); }

    void addSegment(int startX, int startY)
    {
        SegmentRecord r = {};
        r.label = labels.at<unsigned short>(startY, startX);
        r.startX = startX;
        r.startY = startY;
        r.points = cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint*), storage);
        cvSeqPush(segments, &r);
    }
    // A point that exists before the segments are processed, as if an
    // earlier segment had made it.
    void addPoint(int x, int y)
    {
        TrackPoint p = {};
        p.x = x;
        p.y = y;
        cvSeqPush(points, &p);
    }
    void segmentLevels()
    {
        cv::Mat walk = labels.clone(), grey;
        CvMat w = cvMat(walk.rows, walk.cols, CV_16UC1, walk.data);
        labels.convertTo(grey, CV_8U, 20.0);
        segmentRegions(&header, &w, grey.data, storage, segments);
    }
    void build() { buildTrackPoints(&header, segments, points, storage); }
    void build(SegmentOutlines* ready, std::vector<unsigned char>* measured)
    {
        buildTrackPoints(&header, segments, points, storage, ready, measured);
    }

    SegmentRecord segment(int i) const
    {
        SegmentRecord r;
        memcpy(&r, cvGetSeqElem(segments, i), sizeof(r));
        return r;
    }
    // Indices into the tracking-point sequence of segment i's references,
    // -1 for a reference that points elsewhere.
    std::vector<int> refs(int i) const
    {
        CvSeq* list = segment(i).points;
        std::vector<int> out;
        for (int j = 0; j < list->total; ++j) {
            const TrackPoint* p;
            memcpy(&p, cvGetSeqElem(list, j), sizeof(p));
            int k = points->total - 1;
            while (k >= 0 && (const void*)cvGetSeqElem(points, k) != p)
                --k;
            out.push_back(k);
        }
        return out;
    }
    XY pointAt(int i) const
    {
        TrackPoint p;
        memcpy(&p, cvGetSeqElem(points, i), sizeof(p));
        return XY(p.x, p.y);
    }
};

cv::Mat labelMap(int cols, int rows, int background)
{
    return cv::Mat(rows, cols, CV_16UC1, cv::Scalar(background));
}

struct IdentityCase {
    int dx, dy, expected;
};

// An offset as a name: "m" stands for the minus sign.
std::string offsetName(int value)
{
    return (value < 0 ? "m" : "") + std::to_string(std::abs(value));
}

void PrintTo(const IdentityCase& c, std::ostream* os)
{
    *os << "dx " << c.dx << ", dy " << c.dy << ", expected " << c.expected;
}

class TrackPointIdentity : public ::testing::TestWithParam<IdentityCase> {};

} // namespace

TEST_P(TrackPointIdentity, SamePointWithinEightPixels)
{
    const IdentityCase c = GetParam();
    SCOPED_TRACE("dx " + std::to_string(c.dx) + " dy " + std::to_string(c.dy));
    TrackPoint a = {100, 50, 99, 99, 1}; // only x and y take part
    CvPoint b = cvPoint(100 + c.dx, 50 + c.dy);
    EXPECT_EQ(cvCmpTrackPoints(&a, &b, nullptr), c.expected);
    EXPECT_EQ(cvCmpTrackPoints(&b, &a, nullptr), c.expected);
    // Elements of a 17-byte sequence sit at odd addresses.
    unsigned char buffer[2 * sizeof(TrackPoint) + 1];
    memcpy(buffer + 1, &a, sizeof(a));
    memcpy(buffer + 1 + sizeof(a), &b, sizeof(b));
    EXPECT_EQ(cvCmpTrackPoints(buffer + 1, buffer + 1 + sizeof(a), nullptr),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Distances, TrackPointIdentity,
    ::testing::Values(IdentityCase{0, 0, 0}, IdentityCase{8, 0, 0},
                      IdentityCase{0, -8, 0}, IdentityCase{-5, 5, 0},
                      IdentityCase{6, 6, -1}, IdentityCase{0, 9, -1},
                      IdentityCase{-8, 1, -1}, IdentityCase{-300, 200, -1}),
    [](const ::testing::TestParamInfo<IdentityCase>& info) {
        return "dx" + offsetName(info.param.dx) + "_dy" +
               offsetName(info.param.dy);
    });

// Records far apart in the int range, whose squared distance would pass
// 64 bits, are different points; so are records one axis beyond reach.
TEST(TrackPointCompare, FarApartRecordsAreDifferentPoints)
{
    const int kFar = 2000000000;
    const CvPoint pairs[][2] = {
        {{-kFar, -kFar}, {kFar, kFar}},
        {{INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}},
        {{INT_MIN, 0}, {INT_MAX, 0}},
        {{0, INT_MAX}, {0, INT_MIN}},
        {{INT_MAX, INT_MAX}, {INT_MAX - 9, INT_MAX}},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(::testing::Message()
                     << "(" << pair[0].x << ", " << pair[0].y << ") and ("
                     << pair[1].x << ", " << pair[1].y << ")");
        EXPECT_EQ(cvCmpTrackPoints(&pair[0], &pair[1], nullptr), -1);
        EXPECT_EQ(cvCmpTrackPoints(&pair[1], &pair[0], nullptr), -1);
    }
    const CvPoint corner = {INT_MAX, INT_MIN};
    const CvPoint near = {INT_MAX - 8, INT_MIN};
    EXPECT_EQ(cvCmpTrackPoints(&corner, &near, nullptr), 0);
}

namespace {
struct RectCase {
    const char* name;
    std::vector<cv::Rect> blocks; // pixels of label 65 on background 1
    XY start;
    cv::Vec4i rect;
    int vertices; // of the polygon: a box under 10 pixels high keeps two
};

void PrintTo(const RectCase& c, std::ostream* os)
{
    *os << c.name << " (start " << c.start.first << ", " << c.start.second
        << ")";
}

class SegmentRectangle : public ::testing::TestWithParam<RectCase> {};
} // namespace

TEST_P(SegmentRectangle, SpansTheWalkedOutline)
{
    const RectCase c = GetParam();
    SCOPED_TRACE(c.name);
    cv::Mat labels = labelMap(40, 20, 1);
    for (const cv::Rect& b : c.blocks)
        labels(b).setTo(65);
    Outlines o(labels);
    o.addSegment(c.start.first, c.start.second);
    o.build();
    SegmentRecord r = o.segment(0);
    EXPECT_EQ(cv::Vec4i(r.rectX, r.rectY, r.rectWidth, r.rectHeight), c.rect);
    EXPECT_EQ(r.points->total, c.vertices);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SegmentRectangle,
    ::testing::Values(
        RectCase{"columns 10-30, rows 5-9",
                 {{10, 5, 21, 5}},
                 {10, 5},
                 {10, 5, 20, 4},
                 2},
        RectCase{"single pixel", {{7, 3, 1, 1}}, {7, 3}, {7, 3, 0, 0}, 1},
        // A pixel of the label that the walk never reaches stays outside.
        RectCase{"stray pixel",
                 {{2, 2, 11, 7}, {30, 15, 1, 1}},
                 {2, 2},
                 {2, 2, 10, 6},
                 2}),
    [](const ::testing::TestParamInfo<RectCase>& info) {
        return paramName(info.param.name);
    });

TEST(TrackPoints, AdjacentSegmentsShareTheirCommonCorners)
{
    cv::Mat labels = labelMap(60, 20, 65);
    labels.colRange(30, 60).setTo(66);
    Outlines o(labels);
    o.addSegment(0, 0);
    o.addSegment(30, 0);
    o.build();

    // Four corners each, the two on the common edge counted once; they keep
    // the positions that the left segment gave them.
    std::set<XY> created;
    for (int i = 0; i < o.points->total; ++i)
        created.insert(o.pointAt(i));
    const std::set<XY> expected = {{1, 0},  {29, 0}, {29, 19},
                                   {0, 19}, {59, 0}, {59, 19}};
    EXPECT_EQ(created, expected);
    std::vector<int> left = o.refs(0), right = o.refs(1);
    ASSERT_EQ(left.size(), 4u);
    ASSERT_EQ(right.size(), 4u);
    int shared = 0;
    for (int k : right)
        if (std::count(left.begin(), left.end(), k) == 1) {
            ++shared;
            EXPECT_EQ(o.pointAt(k).first, 29);
        }
    EXPECT_EQ(shared, 2);
}

// A slit 4 pixels wide cut 25 rows deep into the top edge: its two top
// corners, 5 pixels apart, are separate vertices of one polygon but one
// point, which the point list holds twice.
TEST(TrackPoints, CloseVerticesOfOnePolygonShareOnePoint)
{
    cv::Mat labels = labelMap(60, 40, 65);
    labels(cv::Rect(28, 0, 4, 25)).setTo(1);
    Outlines o(labels);
    o.addSegment(0, 0);
    o.build();

    std::vector<int> refs = o.refs(0);
    int slitCorners = 0;
    for (int i = 0; i < o.points->total; ++i)
        if (o.pointAt(i) == XY(27, 0) || o.pointAt(i) == XY(32, 0)) {
            ++slitCorners;
            EXPECT_EQ(std::count(refs.begin(), refs.end(), i), 2);
        }
    EXPECT_EQ(slitCorners, 1);
}

// The corner (29, 0) lies 6 pixels from each of two points made before it:
// it attaches to the one made first, whichever side that is.
class EarliestPoint : public ::testing::TestWithParam<std::pair<XY, XY>> {};

TEST_P(EarliestPoint, VertexAttachesToEarliestPointInReach)
{
    const XY first = GetParam().first, second = GetParam().second;
    SCOPED_TRACE("first at x " + std::to_string(first.first));
    cv::Mat labels = labelMap(60, 20, 1);
    labels(cv::Rect(0, 0, 30, 20)).setTo(65);
    Outlines o(labels);
    o.addPoint(first.first, first.second);
    o.addPoint(second.first, second.second);
    o.addSegment(0, 0);
    o.build();

    ASSERT_EQ(o.points->total, 2 + 3);
    EXPECT_EQ(o.pointAt(0), first);
    std::vector<int> refs = o.refs(0);
    EXPECT_EQ(std::count(refs.begin(), refs.end(), 0), 1);
    EXPECT_EQ(std::count(refs.begin(), refs.end(), 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, EarliestPoint,
                         ::testing::Values(std::make_pair(XY(35, 0), XY(23, 0)),
                                           std::make_pair(XY(23, 0),
                                                          XY(35, 0))));

// A 4 x 3 grid of 40 x 40 blocks of different levels, segmented and then
// outlined: every block gets its rectangle and four vertices, every
// reference points at an element of the tracking-point sequence, every
// point is referenced, and blocks meeting at a grid corner share its point.
TEST(TrackPoints, ReferencesPointIntoTheTrackPointSequence)
{
    cv::Mat levels = labelMap(160, 120, 1);
    for (int i = 0; i < 12; ++i)
        levels(cv::Rect(i % 4 * 40, i / 4 * 40, 40, 40))
            .setTo(1 + i % 4 + i / 4 * 3);
    Outlines o(levels);
    o.segmentLevels();
    o.build();

    ASSERT_EQ(o.segments->total, 12);
    std::set<int> referenced;
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        SegmentRecord r = o.segment(i);
        EXPECT_EQ(cv::Vec4i(r.rectX, r.rectY, r.rectWidth, r.rectHeight),
                  cv::Vec4i(i % 4 * 40, i / 4 * 40, 39, 39));
        std::vector<int> refs = o.refs(i);
        EXPECT_EQ(refs.size(), 4u);
        EXPECT_EQ(std::count(refs.begin(), refs.end(), -1), 0);
        referenced.insert(refs.begin(), refs.end());
    }
    EXPECT_EQ((int)referenced.size(), o.points->total);
    EXPECT_EQ(o.points->total, 5 * 4);
}

// Outlines walked before, beside the segmentation: the walked one is taken
// as it is (its rectangle shows it), a point made at a vertex whose motion
// came with it takes that motion and is marked, and the motion stage then
// measures only the unmarked points.
TEST(TrackPoints, OutlinesWalkedBeforeBringTheirVertexMotion)
{
    cv::Mat labels = labelMap(120, 80, 65);
    labels.colRange(60, 120).setTo(66);
    Outlines o(labels);
    o.addSegment(0, 0);
    o.addSegment(60, 0);

    SegmentOutlines ready;
    ready.outline.resize(2);
    ready.walked = {1, 0};
    CvMemStorage* scratch = cvCreateMemStorage(0);
    outlineSegment(&o.header, 0, 0, scratch, &ready.outline[0]);
    cvReleaseMemStorage(&scratch);
    SegmentOutline& left = ready.outline[0];
    const int rect[4] = {1, 2, 3, 4};
    std::copy(rect, rect + 4, left.rect);
    ASSERT_EQ(left.vertices.size(), 4u);
    // Every vertex but the second comes with a motion of its own.
    for (int k = 0; k < 4; ++k)
        left.motion.push_back({k + 1, -(k + 1), 1, k != 1});

    std::vector<unsigned char> measured;
    o.build(&ready, &measured);
    const SegmentRecord r = o.segment(0);
    EXPECT_EQ(cv::Vec4i(r.rectX, r.rectY, r.rectWidth, r.rectHeight),
              cv::Vec4i(1, 2, 3, 4));
    ASSERT_EQ(int(measured.size()), o.points->total);
    ASSERT_EQ(o.points->total, 6);

    // A flat pair of frames; the points measured now get what a point at
    // their position gets.
    cv::Mat integral(81, 121, CV_32SC1, cv::Scalar(0));
    CvMat a = cvMat(integral);
    estimateMotion(o.points, &a, &a, 120, 80, &measured);
    int validNow = 0;
    for (int i = 0; i < o.points->total; ++i) {
        TrackPoint p;
        memcpy(&p, cvGetSeqElem(o.points, i), sizeof(p));
        int vertex = -1;
        for (int k = 0; k < 4; ++k)
            if (left.vertices[size_t(k)].x == p.x &&
                left.vertices[size_t(k)].y == p.y)
                vertex = k;
        SCOPED_TRACE("point " + std::to_string(i) + ", vertex " +
                     std::to_string(vertex));
        const bool brought = vertex >= 0 && vertex != 1;
        EXPECT_EQ(measured[size_t(i)], brought ? 1 : 0);
        TrackPoint fresh = {};
        fresh.x = p.x;
        fresh.y = p.y;
        fresh.valid = 7;
        estimatePointMotion(&fresh, &a, &a, 120, 80);
        validNow += !brought && fresh.valid;
        EXPECT_EQ(cv::Vec3i(p.vx, p.vy, p.valid),
                  brought ? cv::Vec3i(vertex + 1, -(vertex + 1), 1)
                          : cv::Vec3i(fresh.vx, fresh.vy, fresh.valid));
    }
    // Some points measured now must differ from a point never measured.
    EXPECT_GT(validNow, 0);
}
