// ofulk.read_flo and ofulk.write_flo: Middlebury .flo files, the format
// of cv2.readOpticalFlow and cv2.writeOpticalFlow.
#include "arrays.h"
#include "bindings.h"
#include "errors.h"
#include "paths.h"
#include "unlocked.h"

#include "atomic_file.h"
#include "flo_file.h"

#include <cstring>
#include <filesystem>
#include <mutex>

namespace ulk::python {

namespace py = pybind11;

namespace {

const char* const kReadDoc = R"doc(read_flo(path) -> numpy.ndarray

Read a Middlebury .flo file.

Parameters
----------
path : str, bytes or os.PathLike
    The file, as written by ``write_flo``, ``cv2.writeOpticalFlow`` or
    ``of_ulk_export``.

Returns
-------
numpy.ndarray
    H x W x 2 ``float32`` field.

Raises
------
TypeError
    ``path`` is not a str, bytes or os.PathLike.
FileNotFoundError
    There is no such file.
ValueError
    ``path`` holds a NUL character, or the file is not a .flo file:
    another tag, a size that is not positive, or a length other than the
    size asks for.
OSError
    The file cannot be read.
)doc";

const char* const kWriteDoc =
    R"doc(write_flo(path, flow) -> None

Write a field as a Middlebury .flo file, replacing any file there.

The bytes go to a hidden temporary file in the same folder, which is
renamed to ``path`` when complete: a write that fails (a full disk, a
file-size limit) leaves the earlier file as it was, or no file. The
folder must therefore be writable, and a symbolic link at ``path`` is
replaced by the file, not written through.

Parameters
----------
path : str, bytes or os.PathLike
    Where to write.
flow : numpy.ndarray
    H x W x 2 ``float32`` field.

Raises
------
TypeError
    ``path`` is not a str, bytes or os.PathLike, or ``flow`` not an
    H x W x 2 ``float32`` array.
ValueError
    ``path`` holds a NUL character, or ``flow`` is empty.
OSError
    The file cannot be written; the message names the reason.
)doc";

py::array readFlo(py::handle pathObject)
{
    const PathArg pathArgument = pathArg(pathObject);
    const std::string& path = pathArgument.bytes;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        raiseFileNotFound(pathArgument.given);
    cv::Mat flow;
    std::string error;
    bool read;
    {
        Unlocked unlocked;
        read = viz::readFlowFile(path, flow, error);
    }
    if (!read) {
        if (error.rfind("cannot ", 0) == 0)
            raiseOsError(error);
        raiseValueError(error);
    }
    ArrayMat out = newArray({flow.rows, flow.cols, 2}, CV_32FC2);
    flow.copyTo(out.mat);
    return out.array;
}

void writeFlo(py::handle pathObject, py::handle flowObject)
{
    const std::string path = pathArg(pathObject).bytes;
    ArrayMat flow = flowArg(flowObject, "flow");
    std::string error;
    bool written;
    {
        Unlocked unlocked;
        // The temporary name depends on the target and the process only:
        // writes of one file from two threads would share it.
        static std::mutex writing;
        std::lock_guard<std::mutex> lock(writing);
        written = exporter::writeFileAtomically(
            path,
            [&flow](const std::string& temporary) {
                std::string reason; // writeFileAtomically names the failure
                return viz::writeFlowFile(temporary, flow.mat, reason);
            },
            error);
    }
    if (!written)
        raiseOsError(error);
}

} // namespace

void bindFloFiles(py::module_& m)
{
    m.def("read_flo", &readFlo, kReadDoc, py::arg("path"));
    m.def("write_flo", &writeFlo, kWriteDoc, py::arg("path"), py::arg("flow"));
}

} // namespace ulk::python
