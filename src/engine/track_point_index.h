// Tracking points by position, for the search of the earliest point near a
// position.
#ifndef OF_ULK_TRACK_POINT_INDEX_H
#define OF_ULK_TRACK_POINT_INDEX_H

#include "cvoptflowulk.h"

#include <algorithm>
#include <vector>

namespace ulk {

// Two positions at most this far apart (squared) are one tracking point.
const int kSameTrackPointDist2 = 64;
// The largest offset along one axis that can still be within that distance.
const int kSameTrackPointReach = 8;

// The positions added so far, numbered in the order of adding: finds the
// earliest one within reach of a position, as a search of the whole list
// from its first element would, while looking at the nearby ones only.
class TrackPointIndex {
  public:
    TrackPointIndex(int cols, int rows);

    // The number of the earliest position within reach of p, or -1.
    int findEarliest(CvPoint p) const;
    // Whether take(number) holds for a position within reach of p; the
    // positions are tried in no particular order, and the search stops at
    // the first that takes.
    template <class Take> bool anyWithin(CvPoint p, Take&& take) const
    {
        return anyCellNear(p, [&](int first) {
            for (int k = first; k >= 0; k = next_[size_t(k)])
                if (withinReach(p, positions_[size_t(k)]) && take(k))
                    return true;
            return false;
        });
    }
    // Adds p; its number is the count of positions added before it.
    void add(CvPoint p);

  private:
    static bool withinReach(CvPoint a, CvPoint b);
    // Whether cell(first) holds for one of the cells that can hold positions
    // within reach of p (p's cell and the eight around it), first being the
    // cell's first position or -1; stops at the first that holds.
    template <class Cell> bool anyCellNear(CvPoint p, Cell&& cell) const
    {
        const int cx = cellX(p.x);
        const int cy = cellY(p.y);
        for (int y = std::max(cy - 1, 0); y <= std::min(cy + 1, cellsY_ - 1);
             ++y)
            for (int x = std::max(cx - 1, 0);
                 x <= std::min(cx + 1, cellsX_ - 1); ++x)
                if (cell(first_[size_t(y) * cellsX_ + x]))
                    return true;
        return false;
    }
    // Positions are clamped into the frame first; clamping keeps positions
    // within reach in neighbouring cells.
    int cellX(int x) const;
    int cellY(int y) const;

    int cols_, rows_;
    int cellsX_, cellsY_;
    std::vector<int> first_, last_; // per cell: first and last position
    std::vector<int> next_;         // per position: next one of its cell
    std::vector<CvPoint> positions_;
};

} // namespace ulk

#endif
