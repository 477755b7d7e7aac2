#include "xy_coding.h"

#include <cassert>

namespace ulk::exporter {

namespace {

// Grey value of zero motion; the coded range is 128 +- this half range.
constexpr double kXyZero = 128.0;
constexpr double kXyHalfRange = 127.0;

} // namespace

cv::Mat xyComponentImage(const cv::Mat& component, double bound)
{
    assert(component.type() == CV_32FC1 && bound > 0.0);
    cv::Mat known = component.clone();
    cv::patchNaNs(known, 0.0);
    // Speeds far beyond the bound would overflow the rounding to int;
    // twice the bound already codes as 0 or 255.
    known = cv::min(cv::max(known, -2.0 * bound), 2.0 * bound);
    cv::Mat coded;
    // convertTo rounds to the nearest integer and saturates to 0 .. 255.
    known.convertTo(coded, CV_8U, kXyHalfRange / bound, kXyZero);
    return coded;
}

} // namespace ulk::exporter
