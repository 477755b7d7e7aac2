// Coarse-to-fine start of the point search: the same search on half- and
// quarter-size frames, each result doubled as the start of the next finer
// level.
#include "refine/coarse_to_fine.h"

#include <opencv2/imgproc.hpp>

namespace ulk {

namespace {

// Each reduced level may correct the doubled velocity of the level below by
// this many whole-pixel moves: one for the doubling, two for the engine's
// grid of 2 pixels on the coarsest level, and room for a larger error.
const int kLevelMoves = 4;
// A point this far right of and below a window's corner has that window.
const int kProbeOffset = 16;

} // namespace

void MatchPyramid::build(const FramePyramid& frames, const CvMat* integralA,
                         const CvMat* integralB)
{
    levels_[0] = {integralA, integralB, integralA->cols - 1,
                  integralA->rows - 1};
    levelCount_ = 1;
    for (int index = 1; index < kMatchLevels && index < frames.levelCount();
         ++index) {
        cv::integral(frames.older(index), integrals_[index][0], CV_32S);
        cv::integral(frames.newer(index), integrals_[index][1], CV_32S);
        headers_[index][0] = cvMat(integrals_[index][0]);
        headers_[index][1] = cvMat(integrals_[index][1]);
        levels_[index] = {&headers_[index][0], &headers_[index][1],
                          frames.older(index).cols, frames.older(index).rows};
        levelCount_ = index + 1;
    }
}

cv::Point coarseToFineStart(const MatchPyramid& pyramid, int x, int y,
                            MatchSearch* search)
{
    cv::Point velocity(0, 0);
    bool found = false;
    for (int index = pyramid.levelCount() - 1; index >= 1; --index) {
        const MatchLevel& level = pyramid.level(index);
        const int lx = x >> index;
        const int ly = y >> index;
        velocity *= 2;
        // On reduced frames a window at the right or bottom border is
        // moved inside: it still sees the motion around the point.
        if (!search->start(level, lx, ly, true))
            continue;
        uint64_t cost = 0;
        if (!found) {
            // The engine's own search of +-10 pixels on the coarsest level
            // that holds the window, from the window's corner (the engine
            // places the window 16 pixels up and left of its point).
            const cv::Point corner = search->windowOrigin();
            TrackPoint probe = {corner.x + kProbeOffset,
                                corner.y + kProbeOffset, 0, 0, 0};
            estimatePointMotion(&probe, level.integralA, level.integralB,
                                level.width, level.height);
            velocity = cv::Point(probe.vx, probe.vy);
            found = true;
        }
        velocity = search->descend(velocity, kLevelMoves, &cost);
    }
    return velocity * 2;
}

} // namespace ulk
