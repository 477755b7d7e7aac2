// Cell binning of point positions for the neighbour lookup of the
// propagation: a counting sort by cell, then the nine cells around a query.
#include "refine_propagation.h"

#include <algorithm>

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
