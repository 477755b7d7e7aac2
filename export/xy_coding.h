// The x and y velocities as two 8-bit grey images, the form in which
// training pipelines commonly read precomputed flow.
#ifndef OF_ULK_XY_CODING_H
#define OF_ULK_XY_CODING_H

#include <opencv2/core.hpp>

namespace ulk::exporter {

// One velocity component (CV_32FC1, pixels per pair) as a CV_8UC1 image of
// the same size: 128 + v * 127 / bound, rounded to the nearest integer and
// clipped to 0 .. 255, so that v = 0 gives 128, v = bound 255 and
// v = -bound 1. An unknown (NaN) velocity gives 128. bound must be above 0.
cv::Mat xyComponentImage(const cv::Mat& component, double bound);

} // namespace ulk::exporter

#endif
