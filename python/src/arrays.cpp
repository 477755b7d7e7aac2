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

// An input as numpy.asarray makes it. Python numbers have no dtype of their
// own, so a list or tuple of them takes the dtype wanted when every value
// keeps its value in it ([[0, 255]] gives uint8, [[256]] stays int64 and
// fails the dtype check).
py::array asInputArray(py::handle object, const char* name,
                       const py::dtype& want)
{
    if (py::isinstance<py::array>(object))
        return py::reinterpret_borrow<py::array>(object);
    py::module_ numpy = py::module_::import("numpy");
    py::array array = numpy.attr("asarray")(object);
    const char kind = array.dtype().kind();
    if (kind == 'O' || kind == 'U' || kind == 'S' || kind == 'V')
        raiseTypeError(std::string(name) +
                       " must be a numpy.ndarray or an array-like of "
                       "numbers, not " +
                       typeName(object));
    if ((py::isinstance<py::list>(object) ||
         py::isinstance<py::tuple>(object)) &&
        !array.dtype().equal(want)) {
        py::array cast = array.attr("astype")(want);
        if (numpy.attr("array_equal")(cast, array).cast<bool>())
            return cast;
    }
    return array;
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
// at a positive step of at least a row: a layout a matrix header can show
// (a crop of a larger array, for instance).
bool rowsArePacked(const py::array& array, py::ssize_t channels)
{
    const py::ssize_t item = array.itemsize();
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = array.shape(1);
    if (array.ndim() == 3 && array.strides(2) != item && array.shape(2) > 1)
        return false;
    if (cols > 1 && array.strides(1) != channels * item)
        return false;
    return rows == 1 || array.strides(0) >= cols * channels * item;
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
    const py::dtype uint8 = py::dtype::of<std::uint8_t>();
    py::array array = asInputArray(object, name, uint8);
    checkDtype(array, name, "uint8", uint8);
    const bool grey = array.ndim() == 2;
    const bool colour = array.ndim() == 3 && isFrameChannels(array.shape(2));
    if (!grey && !colour)
        raiseTypeError(std::string(name) +
                       " must be H x W (grey), H x W x 3 (BGR) or H x W x 4 "
                       "(BGRA), not shape " +
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
    const py::dtype float32 = py::dtype::of<float>();
    py::array array = asInputArray(object, name, float32);
    checkDtype(array, name, "float32", float32);
    if (array.ndim() != 3 || array.shape(2) != 2)
        raiseTypeError(std::string(name) + " must be H x W x 2, not shape " +
                       shapeText(array));
    checkNotEmpty(array, name);
    if (!rowsArePacked(array, 2))
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
    if (!rowsArePacked(array, shape.size() == 3 ? shape[2] : 1))
        raiseValueError(std::string(name) +
                        " must have the pixels of a row side by side (a "
                        "crop of a larger array will do, not a view that "
                        "skips pixels)");
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
