// Point velocities of the refined mode: the engine's search, optionally
// started from a coarse-to-fine estimate, finished by a walk on whole
// pixels and optionally by sub-pixel interpolation.
#ifndef OF_ULK_REFINE_POINT_MOTION_H
#define OF_ULK_REFINE_POINT_MOTION_H

#include <vector>

#include <opencv2/core/types.hpp>

#include "cvoptflowulk.h"
#include "refine/coarse_to_fine.h"

namespace ulk {

// Velocity of one tracking point with its fraction of a pixel.
struct PointVelocity {
    cv::Point2f velocity; // (0, 0) when not valid
    bool valid;
};

// Gives every point of the sequence, in order, its velocity under the
// refinements in flags (CV_ULK_REFINE_COARSE_TO_FINE and
// CV_ULK_REFINE_SUBPIXEL; other bits are ignored) and writes the rounded
// velocity and the valid flag into the TrackPoint as well.
void estimateRefinedMotion(CvSeq* trackPoints, const MatchPyramid& pyramid,
                           int flags, std::vector<PointVelocity>* velocities);

// Neighbour propagation of point velocities: a point also tries the
// velocities that the points around it found, since motion is mostly
// smooth and a point whose own search failed (at a border, on a weak
// texture) often lies beside one whose search succeeded.

// Points binned in square cells, to find the points near a position.
class PointGrid {
  public:
    // Bins the positions; indices into `positions` are what near() returns.
    PointGrid(const std::vector<cv::Point>& positions, int cellSize);

    // Indices of the points in the cell of p and in the eight cells around
    // it, in no particular order, appended to *indices after clearing it.
    void near(cv::Point p, std::vector<int>* indices) const;

  private:
    int cellSize_;
    int columns_ = 0;
    int rows_ = 0;
    std::vector<int> cellStart_; // first entry of each cell in members_
    std::vector<int> members_;   // point indices, cell by cell
};

} // namespace ulk

#endif
