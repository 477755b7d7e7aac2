#include "grey_frame.h"

#include <opencv2/imgproc.hpp>

namespace ulk::viz {

bool greyOfFrame(const cv::Mat& frame, cv::Mat& grey)
{
    switch (frame.type()) {
    case CV_8UC3:
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        return true;
    case CV_8UC4:
        cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
        return true;
    case CV_8UC1:
        frame.copyTo(grey);
        return true;
    default:
        return false;
    }
}

} // namespace ulk::viz
