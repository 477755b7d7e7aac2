#include "output_video.h"

#include "library_log.h"

#include <cstdio>

namespace ulk::viewer {

bool OutputVideo::open(const std::string& name, double rate, cv::Size size)
{
    release();
    viz::QuietLibraryLog quiet;
    const int codecs[] = {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'),
                          cv::VideoWriter::fourcc('M', 'J', 'P', 'G')};
    for (int codec : codecs) {
        if (writer_.open(name, codec, rate, size, true)) {
            name_ = name;
            frames_ = 0;
            return true;
        }
    }
    return false;
}

void OutputVideo::write(const cv::Mat& frame)
{
    if (!writer_.isOpened())
        return;
    writer_.write(frame);
    ++frames_;
}

void OutputVideo::release()
{
    if (!writer_.isOpened())
        return;
    writer_.release();
    if (frames_ == 0)
        std::remove(name_.c_str());
}

} // namespace ulk::viewer
