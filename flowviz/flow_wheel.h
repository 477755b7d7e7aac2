// Colour-wheel coding of a velocity field, the convention of the usual
// Middlebury flow images, and its legend.
//
// Convention (x to the right, y downward, as in the velocity maps): zero
// motion is white; the direction picks the hue on a wheel of 55 colours,
// motion to the right red, downward orange-yellow, to the left cyan-blue,
// upward violet-blue; the saturation grows linearly with the speed divided
// by the maximum speed, fully saturated at the maximum. Faster than the
// maximum (only with a fixed maximum) keeps the full colour darkened to
// 75 %. Unknown velocities (not finite, or magnitude above 1e9) are black.
#ifndef OF_ULK_FLOW_WHEEL_H
#define OF_ULK_FLOW_WHEEL_H

#include <opencv2/core.hpp>

namespace ulk::viz {

// Corner of a wheel image that receives the colour-wheel legend.
enum class LegendCorner { None, TopLeft, TopRight, BottomLeft, BottomRight };

// Number of colours of the wheel.
constexpr int kWheelColours = 55;

// Colour i of the wheel (0 red, then toward yellow, green, cyan, blue,
// magenta), bytes in BGR order.
cv::Vec3b wheelColour(int i);

// Colour of velocity (u, v) for saturation scale maxSpeed (> 0), BGR.
cv::Vec3b flowWheelColour(float u, float v, double maxSpeed);

// The largest finite, known speed of the field (0 when there is none).
double largestSpeed(const cv::Mat& velx, const cv::Mat& vely);

// Codes the CV_32FC1 maps velx and vely into a new CV_8UC3 BGR image.
// maxSpeed > 0 fixes the saturation scale; otherwise the field's largest
// speed is used (an all-zero field is all white).
cv::Mat renderFlowWheel(const cv::Mat& velx, const cv::Mat& vely,
                        double maxSpeed);

// Radius in pixels of the legend disc drawn into an image of this size.
int legendRadius(cv::Size imageSize);

// Centre of the legend disc for a corner of an image of this size.
cv::Point legendCentre(cv::Size imageSize, LegendCorner corner);

// Draws the colour wheel as a disc into a corner of a CV_8UC3 image: the
// colour of every disc pixel is the coding of its offset from the centre,
// with the rim at full saturation, ringed in black. Nothing for None.
void drawWheelLegend(cv::Mat& image, LegendCorner corner);

} // namespace ulk::viz

#endif
