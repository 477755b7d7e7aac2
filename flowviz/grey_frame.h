// The 8-bit grey frame that the engine takes, made from a decoded frame the
// way every front end makes it.
#ifndef OF_ULK_GREY_FRAME_H
#define OF_ULK_GREY_FRAME_H

#include <opencv2/core.hpp>

namespace ulk::viz {

// Converts a BGR or BGRA frame with OpenCV's colour conversion and copies a
// grey one, into grey (whose buffer is reused when it already has the
// frame's size). Returns false, leaving grey as it was, for any other pixel
// format.
bool greyOfFrame(const cv::Mat& frame, cv::Mat& grey);

} // namespace ulk::viz

#endif
