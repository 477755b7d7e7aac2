// The extension module behind the Python package ofulk.
#include "bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(_ofulk, m)
{
    m.doc() = "Segmentation-based dense optical flow for NumPy arrays; use "
              "the package ofulk, which re-exports everything here.";
    // Every docstring starts with its own signature in Python terms.
    py::options options;
    options.disable_function_signatures();
    ulk::python::bindErrors(m);
    ulk::python::bindStuffInfo(m);
    ulk::python::bindFlowEngine(m);
    ulk::python::bindPictures(m);
    ulk::python::bindFloFiles(m);
    ulk::python::bindVideoFrames(m);
    ulk::python::bindCollectionExport(m);
}
