// Refined point motion: each point starts from the engine's own answer or,
// when it matches better, from the coarse-to-fine estimate, walks downhill
// on whole pixels at full size and may then take the sub-pixel vertex of
// its costs.
#include "refined_motion.h"

#include <cmath>

#include "refine_subpixel.h"

namespace {

// The engine's limits, kept so that refined points are accepted and
// rejected as the engine's are: a zero-displacement cost below the first is
// no motion, a best cost at or above the second rejects the point.
const uint64_t kGoodEnoughCost = 700;
const uint64_t kAcceptCost = 145000;
// Whole-pixel moves at full size: enough to correct the doubling of the
// half-size velocity and the engine's grid of 2 pixels.
const int kFullSizeMoves = 4;

PointVelocity refinePoint(TrackPoint* point, const MatchPyramid& pyramid,
                          int flags, MatchSearch* search,
                          MatchSearch* coarseSearch)
{
    const MatchLevel& full = pyramid.level(0);
    estimatePointMotion(point, full.integralA, full.integralB, full.width,
                        full.height);
    const PointVelocity engine = {
        cv::Point2f(float(point->vx), float(point->vy)), point->valid != 0};
    if (!search->start(full, point->x, point->y))
        return engine;
    if (search->cost(cv::Point(0, 0)) < kGoodEnoughCost)
        return engine;

    cv::Point start(point->vx, point->vy);
    uint64_t startCost = search->cost(start);
    if (flags & CV_ULK_REFINE_COARSE_TO_FINE) {
        const cv::Point coarse =
            coarseToFineStart(pyramid, point->x, point->y, coarseSearch);
        const uint64_t coarseCost = search->cost(coarse);
        if (coarseCost < startCost) {
            start = coarse;
            startCost = coarseCost;
        }
    }
    uint64_t bestCost = startCost;
    const cv::Point best = search->descend(start, kFullSizeMoves, &bestCost);
    if (bestCost >= kAcceptCost)
        return {cv::Point2f(0.0f, 0.0f), false};
    if (flags & CV_ULK_REFINE_SUBPIXEL)
        return {subpixelVelocity(search, best, bestCost), true};
    return {cv::Point2f(float(best.x), float(best.y)), true};
}

} // namespace

void estimateRefinedMotion(CvSeq* trackPoints, const MatchPyramid& pyramid,
                           int flags, std::vector<PointVelocity>* velocities)
{
    velocities->resize(size_t(trackPoints->total));
    MatchSearch search;
    MatchSearch coarseSearch;
    CvSeqReader reader;
    cvStartReadSeq(trackPoints, &reader, 0);
    for (int i = 0; i < trackPoints->total; ++i) {
        TrackPoint* point = reinterpret_cast<TrackPoint*>(reader.ptr);
        const PointVelocity result =
            refinePoint(point, pyramid, flags, &search, &coarseSearch);
        point->vx = int(std::lround(result.velocity.x));
        point->vy = int(std::lround(result.velocity.y));
        point->valid = result.valid ? 1 : 0;
        (*velocities)[size_t(i)] = result;
        CV_NEXT_SEQ_ELEM(trackPoints->elem_size, reader);
    }
}
