// Neighbour lookup of the propagation: the nine cells around a position,
// compared with a plain distance test.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "refine/point_motion.h"

using namespace ulk;

namespace {

TEST(PointGrid, NearGivesExactlyThePointsOfTheNineCells)
{
    const int cell = 32;
    std::mt19937 random(3);
    std::uniform_int_distribution<int> x(0, 639), y(0, 479);
    std::vector<cv::Point> points;
    for (int i = 0; i < 500; ++i)
        points.emplace_back(x(random), y(random));
    const PointGrid grid(points, cell);

    std::vector<int> found;
    for (const cv::Point query :
         {cv::Point(0, 0), cv::Point(639, 479), cv::Point(320, 17),
          cv::Point(31, 32), cv::Point(700, 600)}) {
        SCOPED_TRACE(std::to_string(query.x) + ", " + std::to_string(query.y));
        grid.near(query, &found);
        std::sort(found.begin(), found.end());
        std::vector<int> expected;
        for (int i = 0; i < int(points.size()); ++i)
            if (std::abs(points[size_t(i)].x / cell - query.x / cell) <= 1 &&
                std::abs(points[size_t(i)].y / cell - query.y / cell) <= 1)
                expected.push_back(i);
        EXPECT_EQ(found, expected);
    }
}

TEST(PointGrid, NoPointsNothingNear)
{
    const PointGrid grid({}, 32);
    std::vector<int> found = {1, 2};
    grid.near(cv::Point(5, 5), &found);
    EXPECT_TRUE(found.empty());
}

} // namespace
