#include "frame_io.h"

#include <opencv2/highgui.hpp>

namespace ulk::viewer {

namespace {

// Key wait per frame; any key ends the loop.
constexpr int kKeyWaitMs = 10;

} // namespace

bool CaptureSource::read(cv::Mat& frame)
{
    if (!capture_.read(frame)) {
        ended_ = true;
        return false;
    }
    ++frames_;
    return true;
}

double CaptureSource::position()
{
    return capture_.get(cv::CAP_PROP_POS_MSEC);
}

void WindowSink::show(const cv::Mat& picture)
{
    cv::imshow(windowName_, picture);
}

void WindowSink::record(const cv::Mat& picture)
{
    if (writer_.isOpened() && !writer_.write(picture))
        throw RecordingStopped();
}

bool WindowSink::keyPressed()
{
    return cv::waitKey(kKeyWaitMs) >= 0;
}

} // namespace ulk::viewer
