// The decoder behind ofulk.video_flows: the frames of a video file or a
// camera, turned grey the way the viewer does it, decoded without the
// interpreter's lock. Opening goes through the exporter's code, so the
// video libraries' own log lines stay off the console here too.
#include "arrays.h"
#include "bindings.h"
#include "constructed.h"
#include "errors.h"
#include "frame_source.h"
#include "grey_frame.h"
#include "paths.h"
#include "unlocked.h"

#include <opencv2/videoio.hpp>

#include <filesystem>
#include <mutex>

namespace ulk::python {

namespace py = pybind11;

namespace {

class VideoFrames {
  public:
    // source: a camera index (an int) or a path.
    explicit VideoFrames(py::handle source)
    {
        if (py::isinstance<py::int_>(source) &&
            !py::isinstance<py::bool_>(source)) {
            const int camera = source.cast<int>();
            path_ = "camera " + std::to_string(camera);
            bool opened;
            {
                Unlocked unlocked;
                opened = exporter::openCameraQuietly(capture_, camera, first_);
            }
            if (!opened)
                raiseOsError("cannot open " + path_);
            return;
        }
        const PathArg path = pathArg(source);
        path_ = path.bytes;
        std::error_code ec;
        if (!std::filesystem::exists(path_, ec))
            raiseFileNotFound(path.given);
        bool opened;
        {
            Unlocked unlocked;
            opened = exporter::openVideoQuietly(capture_, path_, first_);
        }
        if (!opened)
            raiseOsError("cannot open " + path_ + " as a video");
    }

    // The next frame as an H x W uint8 array, or None after the last one;
    // with keep false, True instead of the array (the frame is decoded and
    // checked, not copied out). Threads that share the object read one
    // after another: the decoder is not made for concurrent use.
    py::object read(bool keep)
    {
        cv::Mat grey;
        Decoded got;
        {
            Unlocked unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            got = decodeNext(grey);
        }
        if (got.read == Read::End)
            return py::none();
        if (got.read == Read::NoGrey)
            raiseValueError("frame " + std::to_string(got.index) + " of " +
                            path_ +
                            " has a pixel format without a grey "
                            "conversion (OpenCV type " +
                            std::to_string(grey.type()) + ")");
        if (got.read == Read::OtherSize)
            raiseValueError("frame " + std::to_string(got.index) + " of " +
                            path_ + " is " + std::to_string(grey.cols) + " x " +
                            std::to_string(grey.rows) + " but frame " +
                            std::to_string(got.index - 1) + " is " +
                            std::to_string(got.size.width) + " x " +
                            std::to_string(got.size.height));
        if (!keep)
            return py::bool_(true);
        ArrayMat out = newArray({grey.rows, grey.cols}, CV_8UC1);
        grey.copyTo(out.mat);
        return out.array;
    }

  private:
    enum class Read { Frame, End, NoGrey, OtherSize };

    // What decodeNext found, with the index of the frame and the size of
    // the frames before it.
    struct Decoded {
        Read read = Read::End;
        long index = 0;
        cv::Size size;
    };

    // Decodes one frame into grey and counts it when it fits; for NoGrey,
    // grey holds the frame. Called with mutex_ held.
    Decoded decodeNext(cv::Mat& grey)
    {
        Decoded got;
        got.index = index_;
        got.size = size_;
        cv::Mat frame;
        if (!first_.empty()) {
            frame = first_; // read on opening, to check the source
            first_.release();
        } else if (!capture_.read(frame) || frame.empty()) {
            return got;
        }
        if (!viz::greyOfFrame(frame, grey)) {
            grey = frame;
            got.read = Read::NoGrey;
            return got;
        }
        if (index_ > 0 && grey.size() != size_) {
            got.read = Read::OtherSize;
            return got;
        }
        size_ = grey.size();
        ++index_;
        got.read = Read::Frame;
        return got;
    }

    std::string path_;
    cv::VideoCapture capture_;
    cv::Mat first_; // the first frame until it is read
    std::mutex mutex_;
    cv::Size size_;
    long index_ = 0;
};

} // namespace

void bindVideoFrames(py::module_& m)
{
    py::class_<VideoFrames>(m, "_VideoFrames",
                            "Grey frames of a video file or a camera; see "
                            "ofulk.video_flows.")
        .def(py::init<py::handle>(), py::arg("source"))
        .def("read", constructedMethod(&VideoFrames::read),
             py::arg("keep") = true,
             "read(keep=True) -> numpy.ndarray | bool | None\n\nThe next "
             "frame as H x W uint8 (True with keep false), or None after "
             "the last.");
}

} // namespace ulk::python
