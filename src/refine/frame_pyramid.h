// Both frames at full size and reduced by halves, shared by the refinements
// that work on smaller frames.
#ifndef OF_ULK_REFINE_FRAME_PYRAMID_H
#define OF_ULK_REFINE_FRAME_PYRAMID_H

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>

#include <vector>

namespace ulk {

class FramePyramid {
  public:
    // Level 0 views srcA and srcB (CV_8UC1) without copying; level k is
    // level k - 1 halved by area averaging (sizes rounded down). Stops
    // early when a level would be empty.
    void build(const CvMat* srcA, const CvMat* srcB, int levels);

    int levelCount() const { return int(older_.size()); }
    const cv::Mat& older(int level) const { return older_[size_t(level)]; }
    const cv::Mat& newer(int level) const { return newer_[size_t(level)]; }

  private:
    std::vector<cv::Mat> older_;
    std::vector<cv::Mat> newer_;
};

} // namespace ulk

#endif
