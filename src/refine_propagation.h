// Neighbour propagation of point velocities: a point also tries the
// velocities that the points around it found, since motion is mostly
// smooth and a point whose own search failed (at a border, on a weak
// texture) often lies beside one whose search succeeded.
#ifndef OF_ULK_REFINE_PROPAGATION_H
#define OF_ULK_REFINE_PROPAGATION_H

#include <vector>

#include <opencv2/core/types.hpp>

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

#endif
