#include "errors.h"

#include "bindings.h"

#include <opencv2/core.hpp>

#include <cerrno>

namespace ulk::python {

namespace py = pybind11;

namespace {

// ofulk.error, created once when the module is imported.
PyObject* gErrorType = nullptr;

const char* const kErrorDoc =
    "Failure reported by the flow library (a cv::Exception in C++).\n\n"
    "A subclass of RuntimeError. Attributes: ``code``, the library's status\n"
    "(an OpenCV error code such as -205 for CV_StsUnmatchedSizes); ``err``,\n"
    "its message; ``func``, the library function that raised it.";

void raiseLibraryError(const cv::Exception& e)
{
    const std::string text =
        e.func + ": " + e.err + " (status " + std::to_string(e.code) + ")";
    py::object error = py::reinterpret_borrow<py::object>(gErrorType)(text);
    error.attr("code") = e.code;
    error.attr("err") = e.err;
    error.attr("func") = e.func;
    PyErr_SetObject(gErrorType, error.ptr());
}

// A message as Python text; a path in it may hold bytes that are not
// UTF-8.
py::str messageText(const std::string& message)
{
    return py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()),
        "backslashreplace"));
}

[[noreturn]] void raise(PyObject* type, const std::string& message)
{
    py::str text = messageText(message);
    if (text)
        PyErr_SetObject(type, text.ptr());
    throw py::error_already_set();
}

} // namespace

void raiseTypeError(const std::string& message)
{
    raise(PyExc_TypeError, message);
}

void raiseValueError(const std::string& message)
{
    raise(PyExc_ValueError, message);
}

void raiseFileNotFound(const std::string& path)
{
    raiseFileNotFound(messageText(path));
}

void raiseFileNotFound(py::handle filename)
{
    py::object error = py::reinterpret_borrow<py::object>(
        PyExc_FileNotFoundError)(ENOENT, "No such file", filename);
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw py::error_already_set();
}

void raiseOsError(const std::string& message)
{
    raise(PyExc_OSError, message);
}

std::string typeName(py::handle object)
{
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(object.ptr()));
    std::string module = py::str(type.attr("__module__"));
    std::string name = py::str(type.attr("__qualname__"));
    return module == "builtins" ? name : module + "." + name;
}

void bindErrors(py::module_& m)
{
    gErrorType = PyErr_NewExceptionWithDoc("ofulk.error", kErrorDoc,
                                           PyExc_RuntimeError, nullptr);
    m.add_object("error", py::handle(gErrorType));
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const cv::Exception& e) {
            raiseLibraryError(e);
        }
    });
}

} // namespace ulk::python
