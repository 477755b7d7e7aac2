#include "thread_buffers.h"

#include "cvoptflowulk.h"

#include <pybind11/pybind11.h>

#include <thread>

namespace ulk::python {

namespace py = pybind11;

namespace {

// The key in each thread's state dict; its value's destructor does the
// release.
const char* const kKey = "ofulk.thread_buffers";

// Python may also clear a thread's state from another thread (at the
// interpreter's end); only the owner's own buffers can be reached.
void releaseIfOwner(void* owner)
{
    auto* id = static_cast<std::thread::id*>(owner);
    if (*id == std::this_thread::get_id())
        cvReleaseOpticalFlowULKBuffers();
    delete id;
}

} // namespace

void releaseBuffersWhenThreadEnds()
{
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr)
        return;
    static PyObject* key = PyUnicode_InternFromString(kKey);
    if (key == nullptr || PyDict_GetItemWithError(dict, key) != nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Clear();
    py::capsule owner(new std::thread::id(std::this_thread::get_id()),
                      releaseIfOwner);
    if (PyDict_SetItem(dict, key, owner.ptr()) != 0)
        PyErr_Clear();
}

} // namespace ulk::python
