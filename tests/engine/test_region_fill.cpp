// The row passes of the fills against the pixel-by-pixel rule they stand
// for, on random rows of a few values: runs that cross the passes' 64-pixel
// stretches, rows at the map's border, stretches at the row's ends, and a
// target of 0 (the value that pixels outside the map read as), with and
// without the vector path's short rows; also the forward pass over a box's
// rows. The forward pass also tells whether it left a pixel of the level.
#include "engine/contour_walk.h"
#include "engine/region_fill.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace ulk;

namespace {

const int kLevel = 7;

// A 16-bit label map, a scratch map of the same values and the label
// map's reader, as the segmentation holds them. The pixels lie in buffers of
// exactly the map's size, so that a sanitizer sees a pass that reads or writes
// past the last row's end.
struct Maps {
    std::vector<unsigned short> labelPixels, walkPixels;
    cv::Mat labels, walk;
    CvMat header;
    LevelMaps maps;

    explicit Maps(const cv::Mat& values)
        : labelPixels(values.begin<unsigned short>(),
                      values.end<unsigned short>()),
          walkPixels(labelPixels),
          labels(values.size(), CV_16UC1, labelPixels.data()),
          walk(values.size(), CV_16UC1, walkPixels.data()),
          header(cvMat(labels.rows, labels.cols, CV_16UC1, labels.data)),
          maps{Label16Reader(&header), labels.ptr<unsigned short>(),
               walk.ptr<unsigned short>(), labels.cols}
    {
    }
    int at(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= labels.cols || y >= labels.rows)
            return 0;
        return labels.at<unsigned short>(y, x);
    }
    // The rule of both passes at one pixel, read as the map stands.
    void visit(int x, int y, int target)
    {
        if (at(x, y) == kLevel &&
            (at(x, y + 1) == target || at(x - 1, y) == target ||
             at(x, y - 1) == target || at(x + 1, y) == target)) {
            labels.at<unsigned short>(y, x) = (unsigned short)target;
        }
    }
};

// Mostly the level, some target, some other values; long stretches of the
// level so that runs reach past 64 pixels.
cv::Mat randomRows(std::mt19937* rng, int target)
{
    const auto uniform = [rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(*rng);
    };
    cv::Mat values(uniform(1, 4), uniform(1, 200), CV_16UC1);
    const int levelShare = uniform(50, 98);
    for (int y = 0; y < values.rows; ++y)
        for (int x = 0; x < values.cols; ++x) {
            const int pick = uniform(0, 99);
            values.at<unsigned short>(y, x) =
                (unsigned short)(pick < levelShare       ? kLevel
                                 : pick < levelShare + 1 ? target
                                 : uniform(0, 1) == 0    ? 3
                                                         : 40000);
        }
    return values;
}

TEST(RowPasses, MatchThePixelRuleOnRandomRows)
{
    std::mt19937 rng(29);
    const auto uniform = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    for (int trial = 0; trial < 3000; ++trial) {
        const int target = trial % 7 == 0 ? 0 : 100 + trial % 3;
        const cv::Mat values = randomRows(&rng, target);
        const int y = uniform(0, values.rows - 1);
        const int first = uniform(0, values.cols - 1);
        // Every third row pass of at most 64 pixels, which the vector path
        // takes in one go.
        const int last = trial % 3 == 0
                             ? std::min(values.cols - 1, first + uniform(0, 63))
                             : uniform(first, values.cols - 1);
        const bool forward = trial % 2 == 0;
        const bool shortRows = trial % 4 < 2;
        SCOPED_TRACE("trial " + std::to_string(trial) + ", " +
                     std::to_string(values.cols) + "x" +
                     std::to_string(values.rows) + ", row " +
                     std::to_string(y) + ", columns " + std::to_string(first) +
                     ".." + std::to_string(last) +
                     (forward ? ", forward" : ", backward") +
                     (shortRows ? ", short rows" : ""));

        Maps expected(values);
        Maps passed(values);
        passed.maps.shortRows = shortRows;
        if (forward) {
            for (int x = first; x <= last; ++x)
                expected.visit(x, y, target);
            bool levelLeft = false;
            for (int x = first; x <= last; ++x)
                levelLeft = levelLeft || expected.at(x, y) == kLevel;
            EXPECT_EQ(forwardRow(passed.maps, y, first, last, target, kLevel),
                      levelLeft);
        } else {
            for (int x = last; x >= first; --x)
                expected.visit(x, y, target);
            backwardRow(passed.maps, y, first, last, target, kLevel);
        }
        ASSERT_EQ(cv::countNonZero(expected.labels != passed.labels), 0);
        // The scratch map holds the fill's marks: no pass may touch it.
        ASSERT_EQ(cv::countNonZero(values != passed.walk), 0);
    }
}

// The forward pass over a box's rows, top row first (the map's top and
// bottom rows among them), and what it leaves of the level in each row.
TEST(RowPasses, BoxPassMatchesThePixelRuleRowByRow)
{
    std::mt19937 rng(31);
    for (int trial = 0; trial < 1500; ++trial) {
        const int target = trial % 7 == 0 ? 0 : 100;
        const cv::Mat values = randomRows(&rng, target);
        const int y0 = int(rng() % unsigned(values.rows));
        const int y1 = y0 + int(rng() % unsigned(values.rows - y0));
        const int first = int(rng() % unsigned(values.cols));
        const int last = std::min(values.cols - 1, first + int(rng() % 71));
        Maps expected(values);
        std::vector<unsigned char> expectedLeft;
        for (int y = y0; y <= y1; ++y) {
            for (int x = first; x <= last; ++x)
                expected.visit(x, y, target);
            const cv::Mat row =
                expected.labels.row(y).colRange(first, last + 1);
            expectedLeft.push_back(cv::countNonZero(row == kLevel) > 0);
        }
        for (const bool shortRows : {false, true}) {
            Maps passed(values);
            passed.maps.shortRows = shortRows;
            std::vector<unsigned char> left(expectedLeft.size(), 2);
            forwardRows(passed.maps, y0, y1, first, last, target, kLevel,
                        left.data());
            ASSERT_EQ(cv::countNonZero(expected.labels != passed.labels), 0)
                << "trial " << trial;
            ASSERT_EQ(left, expectedLeft) << "trial " << trial;
        }
    }
}

} // namespace
