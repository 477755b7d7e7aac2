// The decoder behind ofulk.video_flows: the frames of a video, turned grey
// the way the viewer does it, decoded without the interpreter's lock.
#include "arrays.h"
#include "bindings.h"
#include "constructed.h"
#include "errors.h"
#include "grey_frame.h"
#include "paths.h"
#include "unlocked.h"

#include <opencv2/videoio.hpp>

#include <filesystem>

namespace ulk::python {

namespace py = pybind11;

namespace {

class VideoFrames {
  public:
    explicit VideoFrames(py::handle pathObject)
    {
        const PathArg path = pathArg(pathObject);
        path_ = path.bytes;
        std::error_code ec;
        if (!std::filesystem::exists(path_, ec))
            raiseFileNotFound(path.given);
        bool opened;
        {
            Unlocked unlocked;
            opened = capture_.open(path_) && capture_.isOpened();
        }
        if (!opened)
            raiseOsError("cannot open " + path_ + " as a video");
    }

    // The next frame as an H x W uint8 array, or None after the last one.
    py::object read()
    {
        cv::Mat grey;
        Read got;
        {
            Unlocked unlocked;
            got = readGrey(grey);
        }
        if (got == Read::End)
            return py::none();
        if (got == Read::NoGrey)
            raiseValueError("frame " + std::to_string(index_) + " of " + path_ +
                            " has a pixel format without a grey "
                            "conversion (OpenCV type " +
                            std::to_string(grey.type()) + ")");
        if (index_ > 0 && grey.size() != size_)
            raiseValueError("frame " + std::to_string(index_) + " of " + path_ +
                            " is " + std::to_string(grey.cols) + " x " +
                            std::to_string(grey.rows) + " but frame " +
                            std::to_string(index_ - 1) + " is " +
                            std::to_string(size_.width) + " x " +
                            std::to_string(size_.height));
        size_ = grey.size();
        ++index_;
        ArrayMat out = newArray({grey.rows, grey.cols}, CV_8UC1);
        grey.copyTo(out.mat);
        return out.array;
    }

  private:
    enum class Read { Frame, End, NoGrey };

    // Decodes one frame into grey; for NoGrey, grey holds the frame.
    Read readGrey(cv::Mat& grey)
    {
        cv::Mat frame;
        if (!capture_.read(frame) || frame.empty())
            return Read::End;
        if (viz::greyOfFrame(frame, grey))
            return Read::Frame;
        grey = frame;
        return Read::NoGrey;
    }

    std::string path_;
    cv::VideoCapture capture_;
    cv::Size size_;
    long index_ = 0;
};

} // namespace

void bindVideoFrames(py::module_& m)
{
    py::class_<VideoFrames>(m, "_VideoFrames",
                            "Grey frames of a video; see ofulk.video_flows.")
        .def(py::init<py::handle>(), py::arg("path"))
        .def("read", constructedMethod(&VideoFrames::read),
             "read() -> numpy.ndarray | None\n\nThe next frame as H x W uint8, "
             "or None after the last.");
}

} // namespace ulk::python
