// Local search of one point's window: descriptor costs around a start
// velocity, remembered so that a walk never evaluates a velocity twice.
#include "refine/match_search.h"

#include <algorithm>

namespace ulk {

namespace {

const int kWindowOffset = 16; // window origin lies this far up and left
const int kBorderMargin = 33; // origins up to size - 33 are usable

} // namespace

bool MatchSearch::start(const MatchLevel& level, int x, int y,
                        bool clampToFrame)
{
    level_ = level;
    x0_ = x > kWindowOffset ? x - kWindowOffset : 0;
    y0_ = y > kWindowOffset ? y - kWindowOffset : 0;
    haveCentre_ = false;
    const int lastX = level.width - kBorderMargin;
    const int lastY = level.height - kBorderMargin;
    if (lastX < 0 || lastY < 0)
        return false;
    if (clampToFrame) {
        x0_ = std::min(x0_, lastX);
        y0_ = std::min(y0_, lastY);
    }
    if (x0_ > lastX || y0_ > lastY)
        return false;
    windowDescriptor(level.integralB, x0_, y0_, reference_);
    return true;
}

uint64_t MatchSearch::cost(cv::Point velocity)
{
    if (!haveCentre_) {
        centre_ = velocity;
        haveCentre_ = true;
        std::fill(cache_, cache_ + kCacheSide * kCacheSide, kNoCost);
    }
    const int ox = x0_ - velocity.x;
    const int oy = y0_ - velocity.y;
    if (ox < 0 || oy < 0 || ox > level_.width - kBorderMargin ||
        oy > level_.height - kBorderMargin)
        return kNoCost;

    const int cx = velocity.x - centre_.x + kCacheRadius;
    const int cy = velocity.y - centre_.y + kCacheRadius;
    const bool cached =
        cx >= 0 && cy >= 0 && cx < kCacheSide && cy < kCacheSide;
    if (cached && cache_[cy * kCacheSide + cx] != kNoCost)
        return cache_[cy * kCacheSide + cx];

    short descriptor[kDescriptorLength];
    windowDescriptor(level_.integralA, ox, oy, descriptor);
    const uint64_t value = descriptorCost(descriptor, reference_);
    if (cached)
        cache_[cy * kCacheSide + cx] = value;
    return value;
}

cv::Point MatchSearch::descend(cv::Point from, int maxMoves, uint64_t* bestCost)
{
    cv::Point best = from;
    uint64_t bestValue = cost(from);
    for (int move = 0; move < maxMoves; ++move) {
        cv::Point next = best;
        uint64_t nextValue = bestValue;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0)
                    continue;
                const cv::Point candidate(best.x + dx, best.y + dy);
                const uint64_t value = cost(candidate);
                if (value < nextValue) {
                    nextValue = value;
                    next = candidate;
                }
            }
        if (next == best)
            break;
        best = next;
        bestValue = nextValue;
    }
    *bestCost = bestValue;
    return best;
}

// Sub-pixel velocity from the costs of the four whole-pixel neighbours of
// the best match.

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

} // namespace ulk
