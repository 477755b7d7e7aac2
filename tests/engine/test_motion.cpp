// Motion of single tracking points on pictures drawn so that the cost of
// every candidate window is known.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "engine/motion.h"

using namespace ulk;

namespace {

// In an 80 x 80 frame a point at (40, 40) has window origin (24, 24) and
// every coarse and fine candidate fits.
const int kSide = 80, kCentre = 40, kOrigin = 24;

cv::Mat integralOf(const cv::Mat& grey)
{
    cv::Mat sum;
    cv::integral(grey, sum, CV_32S);
    return sum;
}

// (vx, vy, valid) of a point at (x, y), copied out of the packed record.
cv::Vec3i measure(const cv::Mat& older, const cv::Mat& newer, int x, int y)
{
    cv::Mat sumA = integralOf(older), sumB = integralOf(newer);
    CvMat a = cvMat(sumA), b = cvMat(sumB);
    TrackPoint p = {x, y, 77, 77, 7}; // the stage must overwrite all three
    estimatePointMotion(&p, &a, &b, older.cols, older.rows);
    return cv::Vec3i(p.vx, p.vy, p.valid);
}

std::vector<short> descriptor(const cv::Mat& grey, int x0, int y0)
{
    cv::Mat sum = integralOf(grey);
    CvMat header = cvMat(sum);
    std::vector<short> d(kDescriptorLength);
    windowDescriptor(&header, x0, y0, d.data());
    return d;
}

cv::Mat noise(int width, int height, unsigned seed)
{
    cv::Mat grey(height, width, CV_8UC1);
    cv::RNG(seed).fill(grey, cv::RNG::UNIFORM, 0, 256);
    return grey;
}

TEST(Contrast, FollowsTheRatioOfTheTwoSums)
{
    const int cases[][3] = {{100, 50, 16384},
                            {50, 100, -16384},
                            {7, 0, 32767},
                            {0, 7, -32767},
                            {0, 0, 0},
                            {80, 80, 0},
                            {16320, 1, 32765},
                            // n * 32767 needs more than 32 bits
                            {2000000000, 1000000000, 16384}};
    for (const auto& c : cases)
        EXPECT_EQ(boxContrast(c[0], c[1]), c[2]) << c[0] << " vs " << c[1];
    const std::vector<short> high(18, 32767), low(18, -32767);
    EXPECT_EQ(descriptorCost(high.data(), low.data()), 18u * 65534u);
}

// One bright cell (1, 1) on black stands in four saturated contrasts: as
// lower-right neighbour of (0, 0), against its own lower-right neighbour, as
// lower neighbour of (2, 0) and as right neighbour of (0, 2).
TEST(Descriptor, ComparesCellsAcrossBothDiagonals)
{
    cv::Mat grey(32, 32, CV_8UC1, cv::Scalar(0));
    grey(cv::Rect(8, 8, 8, 8)).setTo(100);
    std::vector<short> expected(18, 0);
    expected[0] = -32767;
    expected[4] = 32767;
    expected[9 + 1] = -32767;
    expected[9 + 3] = 32767;
    EXPECT_EQ(descriptor(grey, 0, 0), expected);
}

TEST(Descriptor, ReadsExactlyItsThirtyTwoPixelWindow)
{
    const cv::Mat base = noise(64, 64, 3);
    const std::vector<short> reference = descriptor(base, 16, 16);
    int wrong = 0;
    for (int y = 15; y <= 48 && wrong < 5; ++y) {
        for (int x = 15; x <= 48 && wrong < 5; ++x) {
            cv::Mat changed = base.clone();
            changed.at<uchar>(y, x) ^= 0x80;
            const bool inside = x >= 16 && x < 48 && y >= 16 && y < 48;
            if ((descriptor(changed, 16, 16) != reference) != inside)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is "
                              << (inside ? "not " : "") << "read" << ++wrong;
        }
    }
}

// Window origin x - 16 but at least 0, and at most width - 33, along both
// axes (the vertical case runs on transposed pictures). A white column 32 on
// black, absent from the older frame, costs six saturated contrasts (above
// the acceptance limit) once the window holds it; a window that does not fit
// marks the point as not measured.
TEST(Window, OriginIsClampedAndMustFit)
{
    const cv::Mat black(kSide, kSide, CV_8UC1, cv::Scalar(0));
    cv::Mat column = black.clone();
    column.col(32).setTo(255);
    const cv::Mat wide = noise(100, kSide, 5), narrow = noise(32, kSide, 6);
    struct Case {
        const cv::Mat &older, &newer;
        int x, valid;
    } cases[] = {{black, column, 10, 1}, {black, column, 16, 1},
                 {black, column, 17, 0}, {wide, wide, 83, 1},
                 {wide, wide, 84, 0},    {narrow, narrow, 16, 0}};
    for (const Case& c : cases) {
        const cv::Vec3i expected(0, 0, c.valid);
        EXPECT_EQ(measure(c.older, c.newer, c.x, kCentre), expected) << c.x;
        EXPECT_EQ(measure(c.older.t(), c.newer.t(), kCentre, c.x), expected)
            << c.x;
    }
}

// Frames of grey 100; two pixels of the older frame, outside the flawless
// (-5, -5) candidate window, make the zero-displacement cost 699 or 700. At
// 700 the search goes on and finds that window.
TEST(Costs, SearchStopsOnlyBelowSevenHundred)
{
    const int cases[][5] = {{699, 233, 94, 0, 0}, {700, 230, 91, 5, 5}};
    for (const auto& c : cases) {
        const cv::Mat newer(kSide, kSide, CV_8UC1, cv::Scalar(100));
        cv::Mat older = newer.clone();
        older.at<uchar>(kOrigin + 31, kOrigin + 31) = uchar(c[1]);
        older.at<uchar>(kOrigin, kOrigin + 31) = uchar(c[2]);
        const std::vector<short> a = descriptor(older, kOrigin, kOrigin);
        ASSERT_EQ(descriptorCost(a.data(), std::vector<short>(18).data()),
                  uint64_t(c[0]));
        EXPECT_EQ(measure(older, newer, kCentre, kCentre),
                  cv::Vec3i(c[3], c[4], 1));
    }
}

// A flat older frame costs the same at every candidate: the sum of the newer
// window's contrasts, so the zero displacement keeps the tie. Cells (0, 0),
// (3, 0) and (0, 3) of the newer window are black (32767 each), cells (3, 3)
// and (1, 0) have the sums that make 144999 or 145000.
TEST(Costs, BestCostOfOneHundredFortyFiveThousandIsRejected)
{
    const int cases[][4] = {{144999, 3, 8130, 1}, {145000, 4, 8131, 0}};
    for (const auto& c : cases) {
        const cv::Mat older(kSide, kSide, CV_8UC1, cv::Scalar(100));
        cv::Mat newer = older.clone();
        const int o = kOrigin, cells[][3] = {{0, 0, 0},
                                             {24, 0, 0},
                                             {0, 24, 0},
                                             {24, 24, c[1]},
                                             {8, 0, c[2]}};
        for (const auto& cell : cells)
            for (int i = 0; i < 64; ++i)
                newer.at<uchar>(o + cell[1] + i / 8, o + cell[0] + i % 8) =
                    uchar(cell[2] / 64 + (i < cell[2] % 64 ? 1 : 0));
        const std::vector<short> b = descriptor(newer, o, o);
        ASSERT_EQ(descriptorCost(std::vector<short>(18).data(), b.data()),
                  uint64_t(c[0]));
        EXPECT_EQ(measure(older, newer, kCentre, kCentre),
                  cv::Vec3i(0, 0, c[3]));
    }
}

// The newer frame is black, so an older window costs 0 when black and 65534
// when one white pixel lies in an edge cell of it (two saturated
// contrasts). Where the white pixels lie decides which window wins, and so
// shows which windows the search visits and in which order.
TEST(Search, FirstStrictlyBestWindowWins)
{
    const int o = kOrigin, c = kCentre;
    struct Case {
        int x, y;
        std::vector<cv::Point> white;
        cv::Vec3i expected;
    } cases[] = {
        // clang-format off
        // Coarse (-5, -5), (-5, +5) and (+5, +5) tie at 0: the first stays.
        {c, c, {{o + 31, o}}, {5, 5, 1}},
        // All coarse windows cost 65534; on the fine grid (o-5, o-5) and
        // (o-3, o-5) hold pixels, (o-1, o-5) is the first black one in
        // row-major order (column-major would give (o-3, o-3)).
        {c, c, {{o + 31, o + 15}, {o - 5, o + 15}, {o - 3, o - 5}}, {1, 5, 1}},
        // Origin 5: fine columns (rows) 5, 7, 9; only 7 is black.
        {21, c, {{6, o + 15}, {39, o + 15}}, {-2, 5, 1}},
        {c, 21, {{o + 15, 6}, {o + 15, 39}}, {5, -2, 1}},
        // Origin 6: fine columns (rows) 1, 3, ..., 11; only 3 is black.
        {22, c, {{2, o + 15}, {35, o + 15}}, {3, 5, 1}},
        {c, 22, {{o + 15, 2}, {o + 15, 35}}, {5, 3, 1}},
        // Origin 42 = 80 - 33 - 5 still has the +5 coarse candidates.
        {58, c, {{42, o + 15}}, {-5, 5, 1}},
        {c, 58, {{o + 15, 42}}, {5, -5, 1}},
        // Origin 5 has no -5 coarse candidate, which would be black here.
        {21, c, {{36, o + 15}}, {0, 0, 1}},
        {c, 21, {{o + 15, 36}}, {0, 0, 1}},
        // clang-format on
    };
    const cv::Mat black(kSide, kSide, CV_8UC1, cv::Scalar(0));
    for (const Case& k : cases) {
        cv::Mat older = black.clone();
        for (const cv::Point& p : k.white)
            older.at<uchar>(p) = 255;
        EXPECT_EQ(measure(older, black, k.x, k.y), k.expected)
            << "point (" << k.x << ", " << k.y << ")";
    }
}

// Unrelated frames run the whole search. From the top-left corner it may
// only look right and down, from the bottom-right one only left and up.
TEST(Search, CornerPointsVisitOnlyWindowsInsideTheFrame)
{
    for (unsigned seed = 1; seed <= 8; ++seed) {
        const cv::Mat older = noise(kSide, kSide, seed),
                      newer = noise(kSide, kSide, seed + 100);
        const cv::Vec3i first = measure(older, newer, 0, 0),
                        last = measure(older, newer, 63, 63);
        EXPECT_TRUE(first[0] <= 0 && first[1] <= 0) << first;
        EXPECT_TRUE(last[0] >= 0 && last[1] >= 0) << last;
    }
}

// A smooth wave pattern moved by shifts the grids reach exactly: (+-5, +-5)
// coarse, odd components on the fine grid around the zero displacement. Its
// cost falls towards the true match, so for the small shifts the zero
// displacement beats the coarse candidates.
TEST(Search, TexturedShiftIsFoundAtInteriorPoints)
{
    const double kPi = 3.14159265358979323846;
    cv::Mat wave(128, 128, CV_8UC1);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            wave.at<uchar>(y, x) = cv::saturate_cast<uchar>(
                128 + 100 * std::sin(2 * kPi * x / 48) *
                          std::sin(2 * kPi * y / 48 + 0.7));
    const cv::Mat older = wave(cv::Rect(16, 16, 96, 96));
    for (const cv::Point s :
         {cv::Point(5, 5), cv::Point(-5, -5), cv::Point(5, -5), cv::Point(1, 3),
          cv::Point(-1, -3), cv::Point(3, -1)}) {
        const cv::Mat newer = wave(cv::Rect(16 - s.x, 16 - s.y, 96, 96));
        for (int y = 28; y <= 64; y += 12)
            for (int x = 28; x <= 64; x += 12)
                EXPECT_EQ(measure(older, newer, x, y), cv::Vec3i(s.x, s.y, 1))
                    << "shift " << s << " at (" << x << ", " << y << ")";
    }
}

// The motion at an outline's vertices, measured beside the segmentation:
// each vertex measured gets what a point there gets; a vertex within reach
// of one measured before for this segment or an earlier one is left out,
// and one near the measured vertices of later segments only is measured.
TEST(VertexMotion, MeasuresTheVerticesThatNoEarlierMeasuredOneIsNear)
{
    const cv::Mat older = noise(96, 96, 5);
    cv::Mat newer;
    cv::warpAffine(older, newer, cv::Mat_<double>({2, 3}, {1, 0, 3, 0, 1, -3}),
                   older.size(), cv::INTER_NEAREST, cv::BORDER_REFLECT);
    cv::Mat sumA = integralOf(older), sumB = integralOf(newer);
    CvMat a = cvMat(sumA), b = cvMat(sumB);

    MeasuredVertices near(96, 96);
    // Measured before for segment 0 and for segment 5.
    near.positions.add(cvPoint(70, 70));
    near.segment.push_back(0);
    near.positions.add(cvPoint(50, 24));
    near.segment.push_back(5);
    SegmentOutline outline;
    outline.vertices = {cvPoint(30, 30), cvPoint(36, 34), cvPoint(50, 30),
                        cvPoint(64, 66), cvPoint(50, 60)};
    estimateVertexMotion(&outline, 1, &a, &b, 96, 96, &near);

    // (36, 34) is near (30, 30) of this outline, (64, 66) near (70, 70) of
    // segment 0; (50, 30) is near (50, 24) of segment 5 only.
    const bool expected[5] = {true, false, true, false, true};
    ASSERT_EQ(outline.motion.size(), 5u);
    for (size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE("vertex " + std::to_string(k));
        const CvPoint v = outline.vertices[k];
        const PointMotion& m = outline.motion[k];
        EXPECT_EQ(m.measured, expected[k]);
        if (m.measured) {
            EXPECT_EQ(cv::Vec3i(m.vx, m.vy, m.valid),
                      measure(older, newer, v.x, v.y));
        }
        // Measured vertices join the index, the others do not.
        EXPECT_GE(near.positions.findEarliest(v), 0);
    }
    EXPECT_EQ(near.positions.findEarliest(cvPoint(36, 34)), 2); // (30, 30)
    EXPECT_EQ(near.segment, std::vector<int>({0, 5, 1, 1, 1}));
    EXPECT_EQ(measure(older, newer, 50, 30), cv::Vec3i(3, -3, 1));
}

} // namespace
