// Frames for the exporter: a video file, a folder of numbered frames or two
// image files, each frame handed out as an 8-bit grey image.
#ifndef OF_ULK_FRAME_SOURCE_H
#define OF_ULK_FRAME_SOURCE_H

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <memory>
#include <string>
#include <vector>

namespace ulk::exporter {

class FrameSource {
  public:
    enum class Read { Frame, End, Error };

    virtual ~FrameSource() = default;

    // Opens the input named by the command line: one path (a folder or a
    // video file) or two image paths. Returns null and sets error when the
    // input cannot be read.
    static std::unique_ptr<FrameSource>
    open(const std::vector<std::string>& inputs, std::string& error);

    // Next frame as CV_8UC1 (colour frames converted from BGR, not
    // flipped). Error sets error to a message naming the frame.
    virtual Read next(cv::Mat& grey, std::string& error) = 0;
    // Number of frames, or -1 when unknown.
    virtual long frameCount() const = 0;
    // Whether frameCount() is certain (a video's header may be wrong).
    virtual bool countIsExact() const = 0;
};

// Opens path with the video reader and reads its first frame into first,
// to make sure that the file really decodes: FFmpeg first, the other
// backends only for a file that it refuses. The readers' own log lines and
// what the other backends write on standard error are kept off the
// console. False, capture released, when no backend reads the file.
bool openVideoQuietly(cv::VideoCapture& capture, const std::string& path,
                      cv::Mat& first);

// openVideoQuietly for the camera of the given index, any backend.
bool openCameraQuietly(cv::VideoCapture& capture, int index, cv::Mat& first);

// Converts a decoded frame (1, 3 or 4 channels, 8 bits) to CV_8UC1.
cv::Mat toGrey(const cv::Mat& frame);

// The size that frames of `size` are brought to before the flow: width x
// height when both are above 0; else, when shortSide is above 0, the size
// whose shorter side is shortSide and whose other side keeps the aspect
// ratio (rounded, at least 1); else size itself.
cv::Size flowFrameSize(cv::Size size, int width, int height, int shortSide);

// frame resized to size: pixel-area averaging when it shrinks in both
// directions, bilinear interpolation otherwise.
cv::Mat resizedFrame(const cv::Mat& frame, cv::Size size);

// Whether a file name has the extension of an image format that frames are
// read from (case-insensitive).
bool isFrameFileName(const std::string& name);

// Name order with runs of digits compared by value, so "f2" comes before
// "f10"; zero-padded names keep their plain order.
bool frameNameLess(const std::string& a, const std::string& b);

// The frame files of a folder (no hidden files), in frameNameLess order.
std::vector<std::string> listFrameFiles(const std::string& dir);

} // namespace ulk::exporter

#endif
