// NumPy arrays as OpenCV matrices: the checks of the frames and fields that
// Python passes in, with the package's TypeError / ValueError rules, and
// matrix headers over the arrays' data.
#ifndef OFULK_ARRAYS_H
#define OFULK_ARRAYS_H

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace ulk::python {

// A checked array and a matrix header over its data. The array holds the
// data alive for as long as the header is used.
struct ArrayMat {
    pybind11::array array;
    cv::Mat mat;
};

// An 8-bit frame: H x W (grey) or H x W x 1, 3 (BGR) or 4 (BGRA), not empty;
// anything else than an ndarray goes through numpy.asarray. Rows that are
// not packed one after another (a crop) are used as they are; any other
// layout is copied first. `name` names the argument in messages.
ArrayMat frameArg(pybind11::handle object, const char* name);

// Two frames of one kind (channel count) and size, for prev and next.
void checkFramePair(const ArrayMat& prev, const ArrayMat& next);

// A flow field: H x W x 2 float32, not empty, as frameArg takes frames.
ArrayMat flowArg(pybind11::handle object, const char* name);

// An array the caller gives to be written into: exactly `shape` and `dtype`
// (dtype uint8 or float32), writeable, its rows' pixels packed as frameArg
// takes them without a copy (a crop will do).
ArrayMat outputArg(pybind11::handle object, const char* name,
                   const std::vector<pybind11::ssize_t>& shape, int cvType);

// A new C-contiguous array of this shape whose data the returned header
// shares.
ArrayMat newArray(const std::vector<pybind11::ssize_t>& shape, int cvType);

// "(480, 640, 3)" for messages.
std::string shapeText(const pybind11::array& array);
std::string shapeText(const std::vector<pybind11::ssize_t>& shape);

} // namespace ulk::python

#endif
