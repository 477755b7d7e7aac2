#include "paths.h"

#include "errors.h"

namespace ulk::python {

namespace py = pybind11;

PathArg pathArg(py::handle object)
{
    PathArg path;
    path.given = py::reinterpret_steal<py::object>(PyOS_FSPath(object.ptr()));
    if (!path.given) {
        PyErr_Clear();
        raiseTypeError("path must be a str, bytes or os.PathLike, not " +
                       typeName(object));
    }
    py::object encoded = path.given;
    if (PyUnicode_Check(encoded.ptr())) {
        // Undecodable bytes come back from their surrogate escapes.
        encoded = py::reinterpret_steal<py::object>(
            PyUnicode_EncodeFSDefault(encoded.ptr()));
        if (!encoded)
            throw py::error_already_set();
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0)
        throw py::error_already_set();
    path.bytes.assign(data, static_cast<size_t>(size));
    if (path.bytes.find('\0') != std::string::npos)
        raiseValueError("embedded null byte");
    return path;
}

} // namespace ulk::python
