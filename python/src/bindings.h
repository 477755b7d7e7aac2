// The parts of the extension module ofulk._ofulk, one per file, each adding
// its functions and classes to the module.
#ifndef OFULK_BINDINGS_H
#define OFULK_BINDINGS_H

#include <pybind11/pybind11.h>

namespace ulk::python {

void bindErrors(pybind11::module_& m);
void bindFlowEngine(pybind11::module_& m);
void bindStuffInfo(pybind11::module_& m);
void bindPictures(pybind11::module_& m);
void bindFloFiles(pybind11::module_& m);
void bindVideoFrames(pybind11::module_& m);
void bindCollectionExport(pybind11::module_& m);

} // namespace ulk::python

#endif
