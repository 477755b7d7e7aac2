// The program's frame source and picture sink: an OpenCV capture, the
// window and the optional video writer.
#ifndef OF_ULK_FRAME_IO_H
#define OF_ULK_FRAME_IO_H

#include "frame_pipeline.h"
#include "output_video.h"

#include <opencv2/videoio.hpp>

#include <string>

namespace ulk::viewer {

// Frames and film positions of an opened capture.
class CaptureSource : public FrameSource {
  public:
    explicit CaptureSource(cv::VideoCapture& capture) : capture_(capture) {}
    bool read(cv::Mat& frame) override;
    double position() override;
    // Frames read so far, and whether the capture had no more; for the
    // loop's caller once the loop is over.
    long framesRead() const { return frames_; }
    bool ended() const { return ended_; }

  private:
    cv::VideoCapture& capture_;
    long frames_ = 0;
    bool ended_ = false;
};

// Shows pictures in a window, writes them to the writer when it is open,
// and waits the program's key time after each. A picture that the writer
// has no room for ends the loop with RecordingStopped.
class WindowSink : public FrameSink {
  public:
    WindowSink(const std::string& windowName, OutputVideo& writer)
        : windowName_(windowName), writer_(writer)
    {
    }
    void show(const cv::Mat& picture) override;
    void record(const cv::Mat& picture) override;
    bool keyPressed() override;

  private:
    std::string windowName_;
    OutputVideo& writer_;
};

} // namespace ulk::viewer

#endif
