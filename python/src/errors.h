// Python exceptions of the package: the library's cv::Exception becomes
// ofulk.error; a caller's mistake becomes TypeError or ValueError, a file
// problem an OSError.
#ifndef OFULK_ERRORS_H
#define OFULK_ERRORS_H

#include <pybind11/pybind11.h>

#include <string>

namespace ulk::python {

// Raise the Python exception and leave through pybind11. Messages are
// UTF-8; bytes of a path that are not show as escapes (\xe9).
[[noreturn]] void raiseTypeError(const std::string& message);
[[noreturn]] void raiseValueError(const std::string& message);
[[noreturn]] void raiseFileNotFound(const std::string& path);
// With filename as given (a str or bytes, see PathArg).
[[noreturn]] void raiseFileNotFound(pybind11::handle filename);
[[noreturn]] void raiseOsError(const std::string& message);

// The type name of a Python object, for messages ("list", "numpy.ndarray").
std::string typeName(pybind11::handle object);

} // namespace ulk::python

#endif
