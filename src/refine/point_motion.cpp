// Refined point motion, in two passes over the points. First each point
// starts from the coarse-to-fine estimate or no motion, whichever matches
// better (from the engine's own answer without the coarse-to-fine search),
// and walks downhill on whole pixels at full size.
// Then, with the coarse-to-fine search, each point also tries the
// velocities of the points near it and walks from the best of them when it
// matches better than its own. Last, the sub-pixel vertex of the costs.
#include "refine/point_motion.h"

#include <algorithm>
#include <cmath>

namespace ulk {

namespace {

// The engine's limits, kept so that refined points are accepted and
// rejected as the engine's are: a zero-displacement cost below the first is
// no motion, a best cost at or above the second rejects the point.
const uint64_t kGoodEnoughCost = 700;
const uint64_t kAcceptCost = 145000;
// Whole-pixel moves at full size: enough to correct the doubling of the
// half-size velocity and the engine's grid of 2 pixels.
const int kFullSizeMoves = 4;
// Cell of the neighbour lookup: points up to one to two window sizes away
// are asked, near enough to share the motion.
const int kNeighbourCell = 32;

// Whole-pixel result of one point's search.
struct PointMatch {
    bool searched = false; // false: the engine's answer stands as it is
    cv::Point best;
    uint64_t cost = kNoCost;
};

PointMatch searchPoint(TrackPoint* point, const MatchPyramid& pyramid,
                       int flags, MatchSearch* search,
                       MatchSearch* coarseSearch)
{
    const MatchLevel& full = pyramid.level(0);
    const bool coarseToFine = (flags & CV_ULK_REFINE_COARSE_TO_FINE) != 0;
    // The coarse-to-fine search covers the engine's own, so the engine's
    // search only runs without it; a point without a usable window keeps
    // the engine's verdict either way: velocity (0, 0), not valid.
    point->vx = 0;
    point->vy = 0;
    point->valid = 0;
    if (!coarseToFine)
        estimatePointMotion(point, full.integralA, full.integralB, full.width,
                            full.height);
    PointMatch match;
    if (!search->start(full, point->x, point->y, false))
        return match;
    point->valid = 1;
    if (search->cost(cv::Point(0, 0)) < kGoodEnoughCost)
        return match;

    cv::Point start(point->vx, point->vy);
    uint64_t startCost = search->cost(start);
    if (coarseToFine) {
        const cv::Point coarse =
            coarseToFineStart(pyramid, point->x, point->y, coarseSearch);
        const uint64_t coarseCost = search->cost(coarse);
        if (coarseCost < startCost) {
            start = coarse;
            startCost = coarseCost;
        }
    }
    match.searched = true;
    match.best = search->descend(start, kFullSizeMoves, &match.cost);
    return match;
}

// Tries the velocities of the points near point `index` as starts; walks
// from the cheapest when it beats the point's own match.
void propagateTo(size_t index, const std::vector<cv::Point>& positions,
                 const PointGrid& grid, const MatchLevel& full,
                 std::vector<PointMatch>* matches, MatchSearch* search,
                 std::vector<int>* neighbours)
{
    PointMatch& match = (*matches)[index];
    if (!match.searched)
        return;
    if (!search->start(full, positions[index].x, positions[index].y, false))
        return;
    grid.near(positions[index], neighbours);
    cv::Point start = match.best;
    uint64_t startCost = match.cost;
    for (const int other : *neighbours) {
        const PointMatch& candidate = (*matches)[size_t(other)];
        if (!candidate.searched || candidate.cost >= kAcceptCost ||
            candidate.best == match.best)
            continue;
        const uint64_t cost = search->cost(candidate.best);
        if (cost < startCost) {
            start = candidate.best;
            startCost = cost;
        }
    }
    if (start != match.best)
        match.best = search->descend(start, kFullSizeMoves, &match.cost);
}

} // namespace

void estimateRefinedMotion(CvSeq* trackPoints, const MatchPyramid& pyramid,
                           int flags, std::vector<PointVelocity>* velocities)
{
    const size_t count = size_t(trackPoints->total);
    std::vector<TrackPoint*> points(count);
    std::vector<cv::Point> positions(count);
    CvSeqReader reader;
    cvStartReadSeq(trackPoints, &reader, 0);
    for (size_t i = 0; i < count; ++i) {
        points[i] = reinterpret_cast<TrackPoint*>(reader.ptr);
        positions[i] = cv::Point(points[i]->x, points[i]->y);
        CV_NEXT_SEQ_ELEM(trackPoints->elem_size, reader);
    }

    MatchSearch search;
    MatchSearch coarseSearch;
    std::vector<PointMatch> matches(count);
    for (size_t i = 0; i < count; ++i)
        matches[i] =
            searchPoint(points[i], pyramid, flags, &search, &coarseSearch);

    const MatchLevel& full = pyramid.level(0);
    if ((flags & CV_ULK_REFINE_COARSE_TO_FINE) && count > 0) {
        const PointGrid grid(positions, kNeighbourCell);
        std::vector<int> neighbours;
        for (size_t i = 0; i < count; ++i)
            propagateTo(i, positions, grid, full, &matches, &search,
                        &neighbours);
    }

    velocities->resize(count);
    for (size_t i = 0; i < count; ++i) {
        TrackPoint* point = points[i];
        const PointMatch& match = matches[i];
        PointVelocity result = {cv::Point2f(float(point->vx), float(point->vy)),
                                point->valid != 0};
        if (match.searched && match.cost >= kAcceptCost) {
            result = {cv::Point2f(0.0f, 0.0f), false};
        } else if (match.searched) {
            result = {cv::Point2f(float(match.best.x), float(match.best.y)),
                      true};
            if ((flags & CV_ULK_REFINE_SUBPIXEL) &&
                search.start(full, point->x, point->y, false))
                result.velocity =
                    subpixelVelocity(&search, match.best, match.cost);
        }
        point->vx = int(std::lround(result.velocity.x));
        point->vy = int(std::lround(result.velocity.y));
        point->valid = result.valid ? 1 : 0;
        (*velocities)[i] = result;
    }
}

// Cell binning of point positions for the neighbour lookup of the
// propagation: a counting sort by cell, then the nine cells around a query.

PointGrid::PointGrid(const std::vector<cv::Point>& positions, int cellSize)
    : cellSize_(cellSize)
{
    for (const cv::Point& p : positions) {
        columns_ = std::max(columns_, p.x / cellSize_ + 1);
        rows_ = std::max(rows_, p.y / cellSize_ + 1);
    }
    cellStart_.assign(size_t(columns_) * size_t(rows_) + 1, 0);
    auto cellOf = [&](const cv::Point& p) {
        return size_t(p.y / cellSize_) * size_t(columns_) +
               size_t(p.x / cellSize_);
    };
    for (const cv::Point& p : positions)
        ++cellStart_[cellOf(p) + 1];
    for (size_t c = 1; c < cellStart_.size(); ++c)
        cellStart_[c] += cellStart_[c - 1];
    members_.assign(positions.size(), 0);
    std::vector<int> next(cellStart_.begin(), cellStart_.end() - 1);
    for (size_t i = 0; i < positions.size(); ++i)
        members_[size_t(next[cellOf(positions[i])]++)] = int(i);
}

void PointGrid::near(cv::Point p, std::vector<int>* indices) const
{
    indices->clear();
    const int cx = p.x / cellSize_;
    const int cy = p.y / cellSize_;
    for (int y = std::max(0, cy - 1); y <= std::min(rows_ - 1, cy + 1); ++y)
        for (int x = std::max(0, cx - 1); x <= std::min(columns_ - 1, cx + 1);
             ++x) {
            const size_t cell = size_t(y) * size_t(columns_) + size_t(x);
            indices->insert(indices->end(), members_.begin() + cellStart_[cell],
                            members_.begin() + cellStart_[cell + 1]);
        }
}

} // namespace ulk
