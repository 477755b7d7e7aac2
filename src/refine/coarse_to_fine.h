// Coarse-to-fine point search: the engine's point search on reduced copies
// of the frames gives each point a starting velocity at full size, so that
// motions beyond the engine's reach of 10 pixels are found.
#ifndef OF_ULK_REFINE_COARSE_TO_FINE_H
#define OF_ULK_REFINE_COARSE_TO_FINE_H

#include <opencv2/core.hpp>

#include "refine/frame_pyramid.h"
#include "refine/match_search.h"

namespace ulk {

// Levels of the point search: full, half and quarter size, so that the
// engine's reach of 10 pixels becomes 40 at full size.
const int kMatchLevels = 3;

// Integral images of both frames at full, half and quarter size. Level 0
// uses the engine's own integral images.
class MatchPyramid {
  public:
    // Integrates levels 1 and 2 of the frame pyramid (as far as it goes);
    // the integral images of level 0 are borrowed and must outlive the
    // pyramid.
    void build(const FramePyramid& frames, const CvMat* integralA,
               const CvMat* integralB);

    int levelCount() const { return levelCount_; }
    const MatchLevel& level(int index) const { return levels_[index]; }

  private:
    int levelCount_ = 0;
    MatchLevel levels_[kMatchLevels];
    cv::Mat integrals_[kMatchLevels][2];
    CvMat headers_[kMatchLevels][2];
};

// Starting velocity at full size of the point (x, y): the engine's search
// on the coarsest level on which the point's window fits, then on every
// finer level a downhill walk from the doubled velocity of the level below.
// (0, 0) when the window fits on no reduced level.
cv::Point coarseToFineStart(const MatchPyramid& pyramid, int x, int y,
                            MatchSearch* search);

} // namespace ulk

#endif
