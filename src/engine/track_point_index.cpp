#include "engine/track_point_index.h"

#include <algorithm>
#include <cstdint>

namespace ulk {

namespace {

// Side of the index cells: a position within reach of another lies in its
// cell or in one of the eight around it.
const int kIndexCell = 8;

} // namespace

bool TrackPointIndex::withinReach(CvPoint a, CvPoint b)
{
    const int64_t dx = (int64_t)a.x - b.x;
    const int64_t dy = (int64_t)a.y - b.y;
    return dx * dx + dy * dy <= kSameTrackPointDist2;
}

TrackPointIndex::TrackPointIndex(int cols, int rows)
    : cols_(std::max(cols, 1)), rows_(std::max(rows, 1)),
      cellsX_(cols_ / kIndexCell + 1), cellsY_(rows_ / kIndexCell + 1),
      first_(size_t(cellsX_) * cellsY_, -1),
      last_(size_t(cellsX_) * cellsY_, -1)
{
}

int TrackPointIndex::findEarliest(CvPoint p) const
{
    int earliest = -1;
    anyCellNear(p, [&](int first) {
        // Cells list their positions in the order of adding: the first one
        // within reach is the cell's earliest.
        for (int k = first; k >= 0; k = next_[size_t(k)]) {
            if (earliest >= 0 && k > earliest)
                break;
            if (withinReach(p, positions_[size_t(k)])) {
                earliest = k;
                break;
            }
        }
        return false; // every cell
    });
    return earliest;
}

void TrackPointIndex::add(CvPoint p)
{
    const int k = int(positions_.size());
    positions_.push_back(p);
    next_.push_back(-1);
    const size_t cell = size_t(cellY(p.y)) * cellsX_ + cellX(p.x);
    if (last_[cell] >= 0)
        next_[size_t(last_[cell])] = k;
    else
        first_[cell] = k;
    last_[cell] = k;
}

int TrackPointIndex::cellX(int x) const
{
    return std::clamp(x, 0, cols_ - 1) / kIndexCell;
}

int TrackPointIndex::cellY(int y) const
{
    return std::clamp(y, 0, rows_ - 1) / kIndexCell;
}

} // namespace ulk
