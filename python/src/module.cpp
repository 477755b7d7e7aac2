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
    bindErrors(m);
    bindStuffInfo(m);
    bindFlowEngine(m);
    bindPictures(m);
    bindFloFiles(m);
    bindVideoFrames(m);
    bindCollectionExport(m);
}
