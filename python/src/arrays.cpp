#include "arrays.h"

#include "errors.h"

#include <climits>

namespace ulk::python {

namespace py = pybind11;

namespace {

// Channel counts of an 8-bit frame: grey, grey with a channel axis, BGR and
// BGRA.
bool isFrameChannels(py::ssize_t channels)
{
    return channels == 1 || channels == 3 || channels == 4;
}

py::array asArray(py::handle object, const char* name)
{
    if (!py::isinstance<py::array>(object))
        raiseTypeError(std::string(name) + " must be a numpy.ndarray, not " +
                       typeName(object));
    return py::reinterpret_borrow<py::array>(object);
}

void checkDtype(const py::array& array, const char* name, const char* want,
                const py::dtype& dtype)
{
    if (!array.dtype().equal(dtype))
        raiseTypeError(std::string(name) + " must have dtype " + want +
                       ", not " + std::string(py::str(array.dtype())));
}

// Also refuses sides that a matrix header cannot count.
void checkNotEmpty(const py::array& array, const char* name)
{
    if (array.size() == 0)
        raiseValueError(std::string(name) + " is empty (shape " +
                        shapeText(array) + ")");
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
        raiseValueError(std::string(name) + " of shape " + shapeText(array) +
                        " is too large");
}

// Whether the pixels of each row lie packed and the rows follow each other
// at a positive step of at least a row: a layout a matrix header can show.
bool rowsArePacked(const py::array& array, py::ssize_t pixelBytes)
{
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = array.shape(1);
    if (array.ndim() == 3 && array.strides(2) != 1 && array.shape(2) > 1)
        return false;
    if (cols > 1 && array.strides(1) != pixelBytes)
        return false;
    return rows == 1 || array.strides(0) >= cols * pixelBytes;
}

cv::Mat header(py::array array, int cvType, bool writeable)
{
    const int rows = static_cast<int>(array.shape(0));
    const int cols = static_cast<int>(array.shape(1));
    const size_t step = static_cast<size_t>(array.strides(0));
    void* data =
        writeable ? array.mutable_data() : const_cast<void*>(array.data());
    return rows == 1 ? cv::Mat(rows, cols, cvType, data)
                     : cv::Mat(rows, cols, cvType, data, step);
}

} // namespace

std::string shapeText(const std::vector<py::ssize_t>& shape)
{
    std::string text = "(";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i > 0)
            text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

std::string shapeText(const py::array& array)
{
    return shapeText(
        std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()));
}

ArrayMat frameArg(py::handle object, const char* name)
{
    py::array array = asArray(object, name);
    checkDtype(array, name, "uint8", py::dtype::of<std::uint8_t>());
    const bool grey = array.ndim() == 2;
    const bool colour = array.ndim() == 3 && isFrameChannels(array.shape(2));
    if (!grey && !colour)
        raiseTypeError(std::string(name) +
                       " must be H x W (grey) or H x W x 3 (BGR), not shape " +
                       shapeText(array));
    checkNotEmpty(array, name);
    const int channels = grey ? 1 : static_cast<int>(array.shape(2));
    if (!rowsArePacked(array, channels))
        array = py::array::ensure(array, py::array::c_style);
    return {array, header(array, CV_8UC(channels), false)};
}

void checkFramePair(const ArrayMat& prev, const ArrayMat& next)
{
    if (prev.mat.channels() != next.mat.channels())
        raiseValueError("prev and next must be frames of one kind, but prev "
                        "has shape " +
                        shapeText(prev.array) + " and next " +
                        shapeText(next.array));
    if (prev.mat.size() != next.mat.size())
        raiseValueError("prev and next must have the same size, but prev "
                        "has shape " +
                        shapeText(prev.array) + " and next " +
                        shapeText(next.array));
}

ArrayMat flowArg(py::handle object, const char* name)
{
    py::array array = asArray(object, name);
    checkDtype(array, name, "float32", py::dtype::of<float>());
    if (array.ndim() != 3 || array.shape(2) != 2)
        raiseTypeError(std::string(name) + " must be H x W x 2, not shape " +
                       shapeText(array));
    checkNotEmpty(array, name);
    if (!(array.flags() & py::array::c_style))
        array = py::array::ensure(array, py::array::c_style);
    return {array, header(array, CV_32FC2, false)};
}

ArrayMat outputArg(py::handle object, const char* name,
                   const std::vector<py::ssize_t>& shape, int cvType)
{
    py::array array = asArray(object, name);
    if (CV_MAT_DEPTH(cvType) == CV_8U)
        checkDtype(array, name, "uint8", py::dtype::of<std::uint8_t>());
    else
        checkDtype(array, name, "float32", py::dtype::of<float>());
    std::vector<py::ssize_t> got(array.shape(), array.shape() + array.ndim());
    if (got != shape)
        raiseValueError(std::string(name) + " must have shape " +
                        shapeText(shape) + ", not " + shapeText(array));
    if (!(array.flags() & py::array::c_style))
        raiseValueError(std::string(name) + " must be C-contiguous");
    if (!array.writeable())
        raiseValueError(std::string(name) + " is read-only");
    return {array, header(array, cvType, true)};
}

ArrayMat newArray(const std::vector<py::ssize_t>& shape, int cvType)
{
    py::array array = CV_MAT_DEPTH(cvType) == CV_8U
                          ? py::array(py::dtype::of<std::uint8_t>(), shape)
                          : py::array(py::dtype::of<float>(), shape);
    return {array, header(array, cvType, true)};
}

} // namespace ulk::python
