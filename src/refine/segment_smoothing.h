// Segment-aware smoothing of the dense field.
#ifndef OF_ULK_REFINE_SEGMENT_SMOOTHING_H
#define OF_ULK_REFINE_SEGMENT_SMOOTHING_H

#include <opencv2/core/types_c.h>

namespace ulk {

// Smooths velx and vely (CV_32FC1) with a Gaussian whose weights count only
// pixels of the same segment of labelMap (CV_16UC1, labels above 64), so
// that motion does not bleed across segment borders, and gives pixels of no
// segment the Gaussian-weighted mean of the segment pixels around them.
void smoothWithinSegments(const CvMat* labelMap, CvMat* velx, CvMat* vely);

} // namespace ulk

#endif
