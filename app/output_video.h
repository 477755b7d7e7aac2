// The video that of_ulk records (/r): opened before the first frame so
// that a name that cannot be written is reported at once, and removed
// again when the run ends before any frame went into it, so that no empty
// video is left behind.
//
// The writer does not report a write that fails, so the recording keeps
// watch itself: before each frame it checks that the file system and the
// file-size limit leave room for that frame, one more and the index that
// the release writes. When they do not, the recording takes no more frames
// and the frames before stay readable. After the release the file's header
// must declare every frame written.
#ifndef OF_ULK_OUTPUT_VIDEO_H
#define OF_ULK_OUTPUT_VIDEO_H

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <stdexcept>
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
    // Appends one frame. False, with nothing written, when the video is
    // not open or there is too little room for the frame (error() says
    // why); after that the recording takes no more frames.
    bool write(const cv::Mat& frame);
    // Closes the video. A video that received no frame is removed; one
    // whose header does not declare every frame written has error() set.
    void release();
    // Why the recording is not whole ("No space left on device", "File too
    // large", ...); "" while it is.
    const std::string& error() const { return error_; }

  private:
    // Why a frame of frameBytes and the end of the file would not fit; ""
    // when they would.
    std::string roomProblem(std::size_t frameBytes) const;

    cv::VideoWriter writer_;
    std::string name_;
    long frames_ = 0;
    std::string error_;
};

// Thrown by a sink whose recording took no more frames; the writer's
// error() says why.
class RecordingStopped : public std::runtime_error {
  public:
    RecordingStopped() : std::runtime_error("the recording stopped") {}
};

// The frame count that the header of an AVI file declares: that of its
// OpenDML extension when it has one (a file past the first gigabyte), else
// that of the main header; -1 when the file has no AVI header.
long aviDeclaredFrames(const std::string& name);

} // namespace ulk::viewer

#endif
