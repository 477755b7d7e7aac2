#include "engine/contour_walk.h"
#include "support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace ulk;

namespace {

using Steps = std::vector<cv::Vec3i>; // (x, y, direction) per call

bool recordStep(int x, int y, int, int dir, void* steps)
{
    static_cast<Steps*>(steps)->push_back({x, y, dir});
    return true;
}

// A map drawn row by row, rows separated by '/': '#' is 5, '.' is 1 and '0'
// is 0.
cv::Mat grid(const std::string& rows, int type = CV_16U)
{
    std::vector<std::vector<double>> cells(1);
    for (char c : rows) {
        if (c == '/')
            cells.emplace_back();
        else
            cells.back().push_back(c == '#' ? 5 : c == '.' ? 1 : 0);
    }
    cv::Mat m(static_cast<int>(cells.size()), static_cast<int>(cells[0].size()),
              CV_64F);
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x)
            m.at<double>(y, x) = cells[y][x];
    m.convertTo(m, type);
    return m;
}

Steps walk(const cv::Mat& m, int x, int y, bool* closed)
{
    CvMat header = cvMat(m);
    Steps steps;
    *closed = cvDoForEachContourPoint(recordStep, &header, x, y, &steps);
    return steps;
}

const char kBlock[] = "....../.###../.###../.###../......";
const char kHole[] = "......./.#####./.#####./.##.##./.#####./.#####./.......";

} // namespace

TEST(Walk, BlockIsWalkedClockwiseFromTopOfLeftColumnOnEveryMapType)
{
    const Steps expected = {{2, 1, 4}, {3, 1, 4}, {3, 2, 6}, {3, 3, 6},
                            {2, 3, 0}, {1, 3, 0}, {1, 2, 2}, {1, 1, 2}};
    for (int type : {CV_8U, CV_16U, CV_16S, CV_32S, CV_32F, CV_64F}) {
        for (int startY : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message()
                         << "type " << type << " start (1, " << startY << ")");
            const cv::Mat m = grid(kBlock, type);
            bool closed = false;
            EXPECT_EQ(walk(startY == 2 ? paddedView(m) : m, 1, startY, &closed),
                      expected);
            EXPECT_TRUE(closed);
        }
    }
}

TEST(Walk, ShapesReportExactPointsAndDirections)
{
    // clang-format off
    const struct {
        const char* name;
        const char* map;
        int x, y;
        Steps expected;
    } cases[] = {
        {"single pixel", "...../..#../.....", 2, 1, {{2, 1, 9}}},
        {"diagonal neighbours only", "#.#/.#./#.#", 1, 1, {{1, 1, 9}}},
        {"label 0 moves up first", "###/000/000", 1, 2, {{1, 1, 9}}},
        {"run of three", "...../.###./.....", 1, 1,
         {{2, 1, 4}, {3, 1, 4}, {2, 1, 0}, {1, 1, 0}}},
        {"corner-touching pair", "..../.#../..#./....", 1, 1,
         {{2, 2, 4}, {1, 1, 0}}},
        {"hole is walked counter-clockwise", kHole, 3, 4,
         {{4, 3, 2}, {3, 2, 0}, {2, 3, 6}, {3, 4, 4}}},
        {"top-left corner block", "###../###../.....", 0, 0,
         {{1, 0, 4}, {2, 0, 4}, {2, 1, 6}, {1, 1, 0}, {0, 1, 0}, {0, 0, 2}}},
        {"region along the border", "###/###", 0, 0,
         {{1, 0, 4}, {2, 0, 4}, {2, 1, 6}, {1, 1, 0}, {0, 1, 0}, {0, 0, 2}}},
        {"start in the right column goes up first", kBlock, 3, 3,
         {{3, 2, 6}, {3, 3, 6}, {2, 3, 0}, {1, 3, 0}, {1, 2, 2}, {1, 1, 2},
          {2, 1, 4}, {3, 1, 4}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool closed = false;
        EXPECT_EQ(walk(grid(c.map), c.x, c.y, &closed), c.expected);
        EXPECT_TRUE(closed);
    }
}

// Step rules that a closed walk never needs: a direction with a member on
// its left is searched anew, and a step with members ahead, front-left and
// left has no direction.
TEST(Walk, DirectionWithAMemberOnItsLeftIsSearchedAnew)
{
    cv::Mat block = grid(kBlock);
    CvMat header = cvMat(block);
    int d = 6;
    EXPECT_EQ(cv::Point(nextContourPoint(&header, cvPoint(1, 1), 5, &d)),
              cv::Point(2, 1));
    EXPECT_EQ(d, 4);

    CvPoint p = cvPoint(1, 1), q = cvPoint(0, 0);
    int e = -1;
    d = 6;
    EXPECT_FALSE(contourStep(&header, &p, 5, &d, &q, &e));
    EXPECT_EQ(d, 9);
    EXPECT_EQ(cv::Point(p), cv::Point(1, 1));
}

TEST(Walk, CallbackReturningFalseStopsAfterOneCall)
{
    cv::Mat block = grid(kBlock);
    CvMat header = cvMat(block);
    int calls = 0;
    auto stop = [](int, int, int, int, void* n) {
        return ++*static_cast<int*>(n) < 1;
    };
    EXPECT_FALSE(cvDoForEachContourPoint(stop, &header, 1, 1, &calls));
    EXPECT_EQ(calls, 1);
}

TEST(Walk, NullPointersAreReportedCallbackFirst)
{
    CvMat header = cvMat(3, 3, CV_16UC1, nullptr);
    const char* func = "cvDoForEachContourPoint";
    EXPECT_CV_ERROR(cvDoForEachContourPoint(nullptr, nullptr, 0, 0, nullptr),
                    CV_StsNullPtr, func, "NULL ContourFunc pointer ");
    EXPECT_CV_ERROR(cvDoForEachContourPoint(nullptr, &header, 0, 0, nullptr),
                    CV_StsNullPtr, func, "NULL ContourFunc pointer ");
    EXPECT_CV_ERROR(cvDoForEachContourPoint(recordStep, nullptr, 0, 0, nullptr),
                    CV_StsNullPtr, func, "NULL IdxMap pointer ");
}

namespace {

// Counts the calls of one walk (stopping a runaway one) and the reported
// points that break the walk's promises.
struct WalkAudit {
    const CvMat* map;
    int limit;
    int calls = 0;
    int faults = 0;
};

bool auditStep(int x, int y, int label, int dir, void* data)
{
    WalkAudit* a = static_cast<WalkAudit*>(data);
    const bool known = dir == 0 || dir == 2 || dir == 4 || dir == 6 || dir == 9;
    if (!known || (label != 0 && cvGetSegIndex(a->map, x, y) != label))
        ++a->faults;
    // After a move the pixel on the left of the direction is outside.
    CvPoint left = neighbourOf(cvPoint(x, y), (dir - 2) & 7);
    if (known && label != 0 && dir != 9 &&
        cvGetSegIndex(a->map, left.x, left.y) == label)
        ++a->faults;
    return ++a->calls <= a->limit;
}

} // namespace

TEST(Walk, RandomMapsWalkInsideTheRegionAndAlwaysEnd)
{
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 2000; ++trial) {
        cv::Mat m(1 + rng() % 12, 1 + rng() % 12, CV_16U);
        const unsigned labels = 2 + rng() % 3;
        for (auto it = m.begin<unsigned short>(); it != m.end<unsigned short>();
             ++it)
            *it = static_cast<unsigned short>(rng() % labels);
        CvMat header = cvMat(m);
        for (int y = 0; y < m.rows; ++y) {
            for (int x = 0; x < m.cols; ++x) {
                WalkAudit a{&header, 8 * m.rows * m.cols + 16};
                traceContour(auditStep, &header, x, y, &a);
                if (a.calls > a.limit || a.faults != 0)
                    FAIL() << "trial " << trial << " start (" << x << ", " << y
                           << ") calls " << a.calls << " faults " << a.faults
                           << " map\n"
                           << m;
            }
        }
    }
}

// Walks on 16-bit maps step by element index, with a step table made for
// the map's width; walks on other types step by position. Both must report
// the same steps from every start, on maps whose widths change from one
// walk to the next.
TEST(Walk, SixteenBitMapsWalkAsTheOtherTypesDo)
{
    std::mt19937 rng(20261207);
    for (int trial = 0; trial < 300; ++trial) {
        cv::Mat m(1 + rng() % 14, 1 + rng() % 14, CV_16U);
        for (auto it = m.begin<unsigned short>(); it != m.end<unsigned short>();
             ++it)
            *it = static_cast<unsigned short>(1 + rng() % 3);
        cv::Mat wide;
        m.convertTo(wide, CV_32S);
        for (int y = 0; y < m.rows; ++y) {
            for (int x = 0; x < m.cols; ++x) {
                bool closed16 = false;
                bool closed32 = false;
                const Steps steps16 = walk(m, x, y, &closed16);
                ASSERT_EQ(steps16, walk(wide, x, y, &closed32))
                    << "trial " << trial << " start (" << x << ", " << y
                    << ") map\n"
                    << m;
                ASSERT_EQ(closed16, closed32);
            }
        }
    }
}

// A walk that reads the map's neighbour masks must step exactly as one that
// gathers each point's neighbours. The masks are checked pixel by pixel
// first, made in bands of rows, on maps narrow and wide enough for both the
// edge and the eight-pixel paths; map and masks lie in buffers of exactly
// their size, so that a sanitizer sees a read or write past either. Values
// above 32767 read as negative, and 0 is a value like any other.
TEST(Walk, MaskedWalksStepAsTheGatheringWalks)
{
    std::mt19937 rng(20261208);
    const unsigned short values[] = {0, 1, 2, 40000};
    for (int trial = 0; trial < 400; ++trial) {
        const int rows = 1 + int(rng() % 20);
        const int cols = 1 + int(rng() % 40);
        const int kinds = 2 + int(rng() % 3);
        std::vector<unsigned short> data(size_t(rows) * cols);
        for (unsigned short& v : data)
            v = values[rng() % unsigned(kinds)];
        CvMat map = cvMat(rows, cols, CV_16UC1, data.data());
        const Label16Reader read(&map);

        std::vector<unsigned char> masks(data.size());
        const int split = int(rng() % unsigned(rows + 1));
        read.neighbourMasks(masks.data(), 0, split);
        read.neighbourMasks(masks.data(), split, rows);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const std::ptrdiff_t at = std::ptrdiff_t(y) * cols + x;
                ASSERT_EQ(unsigned(masks[size_t(at)]),
                          read.packedNeighboursAt(at, x, y, read(x, y)))
                    << "trial " << trial << " pixel (" << x << ", " << y
                    << ") of " << cols << " x " << rows;
            }

        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                Steps gathered, masked;
                const auto into = [](Steps* steps) {
                    return [steps](int px, int py, int, int d) {
                        steps->push_back({px, py, d});
                        return true;
                    };
                };
                const bool closed = followContour(read, x, y, into(&gathered));
                ASSERT_EQ(closed, followContourMasked(read, masks.data(), x, y,
                                                      into(&masked)));
                ASSERT_EQ(gathered, masked)
                    << "trial " << trial << " start (" << x << ", " << y
                    << ") of " << cols << " x " << rows;
            }
        }
    }
}
