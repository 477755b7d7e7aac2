// The video that of_ulk records (/r): opened before the first frame so
// that a name that cannot be written is reported at once, and removed
// again when the run ends before any frame went into it, so that no empty
// video is left behind.
#ifndef OF_ULK_OUTPUT_VIDEO_H
#define OF_ULK_OUTPUT_VIDEO_H

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

namespace ulk::viewer {

class OutputVideo {
  public:
    OutputVideo() = default;
    OutputVideo(const OutputVideo&) = delete;
    OutputVideo& operator=(const OutputVideo&) = delete;
    ~OutputVideo() { release(); }

    // Creates the file `name` for colour frames of `size` at `rate` frames
    // per second. Returns false, with no file made, when no codec can
    // write it.
    bool open(const std::string& name, double rate, cv::Size size);
    bool isOpened() const { return writer_.isOpened(); }
    // Appends one frame; nothing when the video is not open.
    void write(const cv::Mat& frame);
    // Closes the video. A video that received no frame is removed.
    void release();

  private:
    cv::VideoWriter writer_;
    std::string name_;
    long frames_ = 0;
};

} // namespace ulk::viewer

#endif
