// Sub-pixel velocity from the costs of the four whole-pixel neighbours of
// the best match.
#include "refine_subpixel.h"

#include <algorithm>

float parabolaVertex(uint64_t before, uint64_t centre, uint64_t after)
{
    if (before == kNoCost || centre == kNoCost || after == kNoCost)
        return 0.0f;
    const double a = double(before);
    const double b = double(centre);
    const double c = double(after);
    const double bend = a - 2.0 * b + c;
    if (bend <= 0.0)
        return 0.0f;
    const double vertex = 0.5 * (a - c) / bend;
    return float(std::clamp(vertex, -0.5, 0.5));
}

cv::Point2f subpixelVelocity(MatchSearch* search, cv::Point best,
                             uint64_t bestCost)
{
    const float dx =
        parabolaVertex(search->cost(best - cv::Point(1, 0)), bestCost,
                       search->cost(best + cv::Point(1, 0)));
    const float dy =
        parabolaVertex(search->cost(best - cv::Point(0, 1)), bestCost,
                       search->cost(best + cv::Point(0, 1)));
    return cv::Point2f(float(best.x) + dx, float(best.y) + dy);
}
