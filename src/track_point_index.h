// Tracking points by position, for the search of the earliest point near a
// position.
#ifndef OF_ULK_TRACK_POINT_INDEX_H
#define OF_ULK_TRACK_POINT_INDEX_H

#include "cvoptflowulk.h"

#include <vector>

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
    // Adds p; its number is the count of positions added before it.
    void add(CvPoint p);

  private:
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

#endif
