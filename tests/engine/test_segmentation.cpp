// Region segmentation on hand-drawn level maps: which regions become
// segments, which are merged, and what the maps hold afterwards.
#include "engine/contour_visitors.h"
#include "engine/contour_walk.h"
#include "engine/segmentation.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace ulk;

namespace {

// Runs segmentRegions as the engine does: a 16-bit continuous label map
// and a copy of it as the scratch map, the grey data and a segment sequence
// in a storage.
struct Segmentation {
    cv::Mat labels, walk, grey;
    CvMemStorage* storage = cvCreateMemStorage(0);
    CvSeq* segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    std::vector<SegmentRecord> records;

    Segmentation(const cv::Mat& levels, const cv::Mat& greyData)
        : labels(levels.clone()), walk(levels.clone()), grey(greyData)
    {
    }
    ~Segmentation() { cvReleaseMemStorage(&storage); }

    int run(int counter = kFirstLabelCounter)
    {
        CvMat l = cvMat(labels.rows, labels.cols, CV_16UC1, labels.data);
        CvMat w = cvMat(walk.rows, walk.cols, CV_16UC1, walk.data);
        counter = segmentRegions(&l, &w, grey.data, storage, segments, counter);
        records.resize(segments->total);
        for (int i = 0; i < segments->total; ++i)
            memcpy(&records[i], cvGetSeqElem(segments, i), sizeof(records[i]));
        return counter;
    }
    int at(int x, int y) const { return labels.at<unsigned short>(y, x); }
};

cv::Mat greyOfLevels(const cv::Mat& levels)
{
    cv::Mat grey;
    levels.convertTo(grey, CV_8U, 20.0);
    return grey;
}

// Number of points the measuring walk reports for the region at (x, y).
int measuredCount(const cv::Mat& levels, int x, int y)
{
    cv::Mat copy = levels.clone(), grey = greyOfLevels(levels);
    CvMat map = cvMat(copy.rows, copy.cols, CV_16UC1, copy.data);
    int boxMin[2] = {x, y}, boxMax[2] = {x, y};
    SegmentMeasure m = {&map, grey.data, 0, INT_MAX, 0, boxMin, boxMax};
    traceContour(measureSegmentPoint, &map, x, y, &m);
    return m.count;
}

// A level map drawn as a base level with rectangles painted over it, the
// segments expected (label, seed x, seed y) and the final pixel count of
// each value.
struct Layout {
    const char* name;
    cv::Size size;
    std::vector<std::pair<cv::Rect, int>> paint; // first entry: whole map
    std::vector<cv::Vec3i> segments;
    std::map<int, int> counts;
    int startCounter;
};

void PrintTo(const Layout& c, std::ostream* os)
{
    *os << c.name << " (" << c.size.width << "x" << c.size.height
        << ", segments: " << c.segments.size() << ")";
}

class SegmentationLayout : public ::testing::TestWithParam<Layout> {};

} // namespace

TEST_P(SegmentationLayout, LabelsSeedsAndPixels)
{
    const Layout c = GetParam();
    SCOPED_TRACE(c.name);
    cv::Mat levels(c.size, CV_16UC1, cv::Scalar(0));
    for (const auto& p : c.paint)
        levels(p.first).setTo(p.second);
    Segmentation s(levels, greyOfLevels(levels));
    const int last = s.run(c.startCounter);

    EXPECT_EQ(last, c.segments.empty() ? c.startCounter : c.segments.back()[0]);
    ASSERT_EQ(s.records.size(), c.segments.size());
    for (size_t i = 0; i < c.segments.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        const SegmentRecord& r = s.records[i];
        EXPECT_EQ(cv::Vec3i(r.label, r.startX, r.startY), c.segments[i]);
        CvSeq* points = r.points;
        ASSERT_NE(points, nullptr);
        EXPECT_EQ(points->total, 0);
        EXPECT_EQ(points->elem_size, (int)sizeof(TrackPoint*));
    }
    for (const auto& vc : c.counts)
        EXPECT_EQ(cv::countNonZero(s.labels == vc.first), vc.second)
            << "pixels of value " << vc.first;
}

namespace {
const cv::Size k64x48(64, 48);
const cv::Rect kLeft(0, 0, 32, 48), kRight(32, 0, 32, 48);
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Layouts, SegmentationLayout,
    ::testing::Values(
        Layout{"uniform 64x48",
               k64x48,
               {{{0, 0, 64, 48}, 5}},
               {{65, 0, 0}},
               {{65, 64 * 48}},
               kFirstLabelCounter},
        // No neighbouring value: bestLabel stays 0 and every pixel gets it.
        Layout{"uniform 10x10",
               {10, 10},
               {{{0, 0, 10, 10}, 5}},
               {},
               {{0, 100}},
               kFirstLabelCounter},
        Layout{"halves",
               k64x48,
               {{kLeft, 2}, {kRight, 8}},
               {{65, 0, 0}, {66, 32, 0}},
               {{65, 32 * 48}, {66, 32 * 48}},
               kFirstLabelCounter},
        // The island's 8-point walk makes it short; it joins 65.
        Layout{"3x3 island",
               k64x48,
               {{{0, 0, 64, 48}, 7}, {{10, 10, 3, 3}, 3}},
               {{65, 0, 0}},
               {{65, 64 * 48}},
               kFirstLabelCounter},
        // Raster order of seed pixels, not the leftmost column, gives the
        // labels; the right region's foot along the bottom puts its seed
        // away from the corner of its box.
        Layout{"raster order",
               {128, 96},
               {{{0, 0, 128, 96}, 2},
                {{0, 40, 64, 56}, 9},
                {{64, 0, 64, 96}, 5},
                {{40, 88, 24, 8}, 5}},
               {{65, 0, 0}, {66, 64, 0}, {67, 0, 40}},
               {{65, 64 * 40}, {66, 64 * 96 + 192}, {67, 64 * 56 - 192}},
               kFirstLabelCounter},
        // An L-shaped hole shields a pocket from the top and the left: only
        // the backward sweep reaches it, so no third segment appears.
        Layout{
            "pocket behind a hole",
            {100, 80},
            {{{0, 0, 100, 80}, 2}, {{20, 20, 50, 1}, 6}, {{20, 20, 1, 50}, 6}},
            {{65, 0, 0}, {66, 20, 20}},
            {{65, 8000 - 99}, {66, 99}},
            kFirstLabelCounter},
        // Past the last label a long region merges into its neighbour.
        Layout{"two labels left",
               k64x48,
               {{kLeft, 2}, {kRight, 8}},
               {{32766, 0, 0}, {32767, 32, 0}},
               {{32767, 32 * 48}},
               32765},
        Layout{"one label left",
               k64x48,
               {{kLeft, 2}, {kRight, 8}},
               {{32767, 0, 0}},
               {{32767, 64 * 48}},
               32766},
        // The left half merges into the right's level, then the whole image
        // finds no neighbour and ends at 0.
        Layout{"no label left",
               k64x48,
               {{kLeft, 2}, {kRight, 8}},
               {},
               {{0, 64 * 48}},
               kMaxSegmentLabel}),
    [](const ::testing::TestParamInfo<Layout>& info) {
        return paramName(info.param.name);
    });

// A probe region of level 4 hangs below a top band that becomes segment 65
// (similar grey), in a bright level-9 background. The probe is an L of
// thickness 3 whose box also holds a stray level-4 pixel that touches only
// the background. The walk around an L with a w x h box has
// 2(w - 1) + 2(h - 1) - 1 points (the inner corner is crossed diagonally),
// one less when the foot's end pixel is cut off. By the class:
//  - long: the probe becomes segment 66; the background becomes 67;
//  - middling: the probe takes 65; the stray pixel, missed by the fill,
//    later joins the background segment 66;
//  - short: every level-4 pixel of the box, the stray one too, takes 65.
struct ClassCase {
    int width, height;
    bool cutFoot;
    int count; // points of the measuring walk
    int probe, stray, segments;
};

// The probe's box, whether its foot is cut and the walk's length.
std::string classCaseName(const ClassCase& c)
{
    return "box" + std::to_string(c.width) + "x" + std::to_string(c.height) +
           (c.cutFoot ? "_cut_foot" : "") + "_walk" + std::to_string(c.count);
}

void PrintTo(const ClassCase& c, std::ostream* os)
{
    *os << classCaseName(c);
}

class SegmentationClass : public ::testing::TestWithParam<ClassCase> {};

TEST_P(SegmentationClass, OutlineLengthChoosesTheAction)
{
    const ClassCase c = GetParam();
    SCOPED_TRACE("walk of " + std::to_string(c.count) + " points");
    const int top = 10, probeLevel = 4;
    cv::Mat levels(48, 64, CV_16UC1, cv::Scalar(9));
    levels.rowRange(0, top).setTo(5);
    cv::Mat probe = levels(cv::Rect(0, top, c.width, c.height));
    probe.colRange(0, 3).setTo(probeLevel);
    probe.rowRange(c.height - 3, c.height).setTo(probeLevel);
    if (c.cutFoot)
        probe.at<unsigned short>(c.height - 1, c.width - 1) = 9;
    levels.at<unsigned short>(top + 1, c.width - 2) = probeLevel;
    cv::Mat grey(levels.size(), CV_8U, cv::Scalar(200));
    grey.setTo(100, levels == 5);
    grey.setTo(104, levels == probeLevel);
    ASSERT_EQ(measuredCount(levels, 0, top), c.count);

    Segmentation s(levels, grey);
    s.run();
    EXPECT_EQ((int)s.records.size(), c.segments);
    EXPECT_EQ(
        cv::countNonZero(s.labels(cv::Rect(0, top, 3, c.height)) == c.probe),
        3 * c.height);
    EXPECT_EQ(s.at(c.width - 2, top + 1), c.stray);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, SegmentationClass,
    ::testing::Values(ClassCase{42, 31, false, 141, 66, 67, 3},
                      ClassCase{42, 31, true, 140, 65, 66, 2},
                      ClassCase{7, 6, true, 20, 65, 66, 2},
                      ClassCase{6, 6, false, 19, 65, 65, 2}),
    [](const ::testing::TestParamInfo<ClassCase>& info) {
        return classCaseName(info.param);
    });

// ------------------------------------------------------------------------
// The straightforward segmentation, as its description reads: every map
// read through cvGetSegIndex, both walks of a region through the
// ContourFunc visitors, the fills as sweeps of whole boxes. The engine's
// version visits only runs that can change; both must leave the same maps
// and records on any map.

namespace {

const int kLastLevel = 64; // map values up to this one are levels

struct ReferenceMaps {
    cv::Mat labels, walk;
    CvMat l, w;
    ReferenceMaps(const cv::Mat& levels)
        : labels(levels.clone()), walk(levels.clone()), l(cvMat(labels)),
          w(cvMat(walk))
    {
    }
    int at(int x, int y) { return cvGetSegIndex(&l, x, y); }
    void setBoth(int x, int y, int value)
    {
        labels.at<unsigned short>(y, x) = (unsigned short)value;
        walk.at<unsigned short>(y, x) = (unsigned short)value;
    }
    // The four-neighbour test of both sweeps: down, left, up, right.
    bool touches(int x, int y, int target)
    {
        return at(x, y + 1) == target || at(x - 1, y) == target ||
               at(x, y - 1) == target || at(x + 1, y) == target;
    }
    void forwardSweep(const int* bmin, const int* bmax, int target, int level)
    {
        for (int y = bmin[1]; y <= bmax[1]; ++y)
            for (int x = bmin[0]; x <= bmax[0]; ++x) {
                const int v = at(x, y);
                if (v == target)
                    walk.at<unsigned short>(y, x) = (unsigned short)target;
                else if (v == level && touches(x, y, target))
                    setBoth(x, y, target);
            }
    }
    void backwardSweep(const int* bmin, const int* bmax, int target, int level)
    {
        for (int y = bmax[1]; y > bmin[1]; --y)
            for (int x = bmax[0]; x > bmin[0]; --x)
                if (at(x, y) == level && touches(x, y, target))
                    setBoth(x, y, target);
    }
};

// Label, seed x and seed y of each new segment.
std::vector<cv::Vec3i> referenceSegmentation(ReferenceMaps* maps,
                                             const cv::Mat& grey, int counter)
{
    std::vector<cv::Vec3i> segments;
    for (int y = 0; y < maps->labels.rows; ++y) {
        for (int x = 0; x < maps->labels.cols; ++x) {
            const int level = maps->labels.at<unsigned short>(y, x);
            if (level > kLastLevel)
                continue;
            int bmin[2] = {x, y}, bmax[2] = {x, y};
            SegmentMeasure m = {&maps->l, grey.data, 0, INT_MAX, 0, bmin, bmax};
            traceContour(measureSegmentPoint, &maps->l, x, y, &m);
            if (m.count < 20) {
                for (int yy = bmin[1]; yy <= bmax[1]; ++yy)
                    for (int xx = bmin[0]; xx <= bmax[0]; ++xx)
                        if (maps->labels.at<unsigned short>(yy, xx) == level)
                            maps->setBoth(xx, yy, m.bestLabel);
                continue;
            }
            const bool fresh =
                m.count > kMeasureLimit - 1 && counter < kMaxSegmentLabel;
            const int target = fresh ? ++counter : m.bestLabel;
            markOutline(&maps->w, &maps->l, x, y, target, bmin, bmax);
            maps->forwardSweep(bmin, bmax, target, level);
            if (fresh) {
                maps->backwardSweep(bmin, bmax, target, level);
                segments.push_back({target, x, y});
            }
        }
    }
    return segments;
}

} // namespace

TEST(SegmentationReference, RandomMapsGiveTheSameMapsAndRecords)
{
    std::mt19937 rng(13);
    int segmentsSeen = 0;
    for (int trial = 0; trial < 400; ++trial) {
        cv::Mat levels, grey;
        randomLevelMap(&rng, &levels, &grey);
        // A few trials start near the last label, so that long regions
        // are also merged once the labels run out.
        const int counter =
            trial % 10 == 9 ? kMaxSegmentLabel - 2 : kFirstLabelCounter;
        SCOPED_TRACE("trial " + std::to_string(trial) + ", " +
                     std::to_string(levels.cols) + "x" +
                     std::to_string(levels.rows));

        ReferenceMaps expected(levels);
        const std::vector<cv::Vec3i> records =
            referenceSegmentation(&expected, grey, counter);
        Segmentation s(levels, grey);
        s.run(counter);

        ASSERT_EQ(cv::countNonZero(s.labels != expected.labels), 0);
        ASSERT_EQ(s.records.size(), records.size());
        for (size_t i = 0; i < records.size(); ++i)
            ASSERT_EQ(cv::Vec3i(s.records[i].label, s.records[i].startX,
                                s.records[i].startY),
                      records[i]);
        segmentsSeen += int(records.size());
    }
    // The maps must hold long regions, or the new segments' fill is not
    // compared at all.
    EXPECT_GT(segmentsSeen, 400);
}
