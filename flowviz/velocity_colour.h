// Colour rendering of a velocity field: hue from the direction, lightness
// from the speed (no motion is black, large motion fades to white).
#ifndef OF_ULK_VELOCITY_COLOUR_H
#define OF_ULK_VELOCITY_COLOUR_H

#include "image_holder.h"

#include <opencv2/core/types_c.h>

namespace ulk::viz {

// Magnitude factors: the summed field of two frames holds about twice the
// motion, so it is rendered with half the factor to fade to white less
// quickly.
constexpr double kColourFactorSingle = 0.08;
constexpr double kColourFactorSum = 0.04;

// Colour of one velocity (vx, vy) with magnitude factor k, bytes in BGR
// order. Non-finite velocities are black.
Pixel3 velocityColour(float vx, float vy, double k);

// Writes the colour of every element of the CV_32FC1 maps velx and vely
// into the 3-channel result image through ImageHolder::setPixel3; pixels
// outside the result are skipped. Rows are shared among OpenCV's threads
// (cv::setNumThreads); the bytes do not depend on their number.
void renderVelocityColour(const CvMat* velx, const CvMat* vely, double k,
                          ImageHolder& result);

} // namespace ulk::viz

#endif
