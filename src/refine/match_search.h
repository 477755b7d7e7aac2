// Local search of a tracking point's window at one size of the frames: the
// costs of whole-pixel velocities around a start, walked downhill.
#ifndef OF_ULK_REFINE_MATCH_SEARCH_H
#define OF_ULK_REFINE_MATCH_SEARCH_H

#include <cstdint>

#include <opencv2/core/types.hpp>

#include "engine/motion.h"

namespace ulk {

// Integral images of both frames at one size.
struct MatchLevel {
    const CvMat* integralA; // older frame, one row and column more
    const CvMat* integralB; // newer frame
    int width;              // frame size at this level
    int height;
};

// Cost of a velocity that cannot be evaluated (window outside the frame).
const uint64_t kNoCost = UINT64_MAX;

// The window of one point at one level and the costs evaluated so far. A
// velocity (vx, vy) compares the window at origin (x0, y0) of the newer
// frame with the one at (x0 - vx, y0 - vy) of the older frame, as the
// engine's own search does.
class MatchSearch {
  public:
    // Places the window of the point (x, y) of this level by the engine's
    // rule and describes it in the newer frame. A window that reaches past
    // the right or bottom border is moved back inside when clampToFrame is
    // set, else the search is unusable and false is returned; so is a frame
    // smaller than the window.
    bool start(const MatchLevel& level, int x, int y, bool clampToFrame);

    // Top-left pixel of the window in the newer frame.
    cv::Point windowOrigin() const { return cv::Point(x0_, y0_); }

    // Cost of a velocity, kNoCost when its window leaves the frame.
    uint64_t cost(cv::Point velocity);

    // From `from`, moves to the cheapest of the eight neighbours while one
    // is strictly cheaper than the current velocity, at most maxMoves
    // times. Returns the velocity reached; its cost goes to *bestCost.
    cv::Point descend(cv::Point from, int maxMoves, uint64_t* bestCost);

  private:
    // Costs are kept for velocities within this distance of the first one
    // asked for; the walk rarely leaves it, and beyond it costs are
    // recomputed.
    static const int kCacheRadius = 8;
    static const int kCacheSide = 2 * kCacheRadius + 1;

    MatchLevel level_{};
    int x0_ = 0;
    int y0_ = 0;
    short reference_[kDescriptorLength];
    bool haveCentre_ = false;
    cv::Point centre_;
    uint64_t cache_[kCacheSide * kCacheSide];
};

// Sub-pixel point velocities: the vertex of a parabola through the match
// costs around the best whole-pixel velocity, along each axis.

// Position, between -0.5 and 0.5, of the lowest point of the parabola
// through the costs at -1, 0 and +1, where the middle cost is the least of
// the three; 0 when the costs do not bend upward or one is kNoCost.
float parabolaVertex(uint64_t before, uint64_t centre, uint64_t after);

// The whole-pixel best velocity of a search plus the parabola vertex of its
// costs along x and along y.
cv::Point2f subpixelVelocity(MatchSearch* search, cv::Point best,
                             uint64_t bestCost);

} // namespace ulk

#endif
