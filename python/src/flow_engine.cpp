// ofulk.FlowEngine and ofulk.calc_flow: the C++ dense-flow object behind a
// Python class, called without the interpreter's lock.
#include "arrays.h"
#include "bindings.h"
#include "constructed.h"
#include "errors.h"
#include "stuff_info.h"
#include "thread_buffers.h"
#include "unlocked.h"

#include "cvoptflowulk.hpp"

#include <atomic>
#include <mutex>

namespace ulk::python {

namespace py = pybind11;

namespace {

const char* const kEngineDoc =
    R"doc(The flow engine with its memory storage and buffers, kept across calls.

Make one engine per thread: its calls release the GIL, so engines of
different threads compute in parallel. Calls on one engine from several
threads are carried out one after another.

Parameters
----------
refined : bool, default False
    Compute the refined field (motions up to 40 pixels, sub-pixel
    velocities), the values of the C function cvCalcOpticalFlowULKRefined
    with CV_ULK_REFINED_DEFAULT, as ``of_ulk ... /hq`` does; False gives
    those of cvCalcOpticalFlowULK. The ``refined`` property reads and
    changes it for the following calls.

Raises
------
TypeError
    ``refined`` is not a bool.

Examples
--------
>>> engine = ofulk.FlowEngine()
>>> flow = engine.calc(prev, next)          # H x W x 2 float32
>>> engine.calc(prev, next, flow=flow)      # into the same array
>>> engine.refined = True                   # the refined field from now on
)doc";

const char* const kCalcDoc = R"doc(calc(prev, next, flow=None) -> numpy.ndarray

Dense optical flow from prev to next, refined when the engine's
``refined`` is True.

Parameters
----------
prev, next : numpy.ndarray
    The older and the newer frame, ``uint8``, of one size and kind: H x W
    grey, or H x W x 3 BGR (H x W x 4 BGRA) turned grey the way the viewer
    does it. Crops and other strided arrays are accepted.
flow : numpy.ndarray, optional
    H x W x 2 ``float32`` C-contiguous array to write the result into.

Returns
-------
numpy.ndarray
    H x W x 2 ``float32``: x velocity (to the right) and y velocity
    (downward) in pixels per frame pair; ``flow`` itself when given.

Raises
------
TypeError
    An argument is not an array, or has the wrong dtype or dimensions.
ValueError
    The frames differ in size or kind, a frame is empty, or ``flow`` has
    the wrong shape, is not C-contiguous or is read-only.
ofulk.error
    The library failed.
)doc";

const char* const kCalcWithInfoDoc =
    R"doc(calc_with_info(prev, next) -> tuple[numpy.ndarray, FlowInfo]

Dense optical flow and what the engine found on the way, refined when the
engine's ``refined`` is True (the points' velocities are then those of the
refined search, rounded to whole pixels).

Parameters
----------
prev, next : numpy.ndarray
    As for ``calc``.

Returns
-------
flow : numpy.ndarray
    H x W x 2 ``float32``, as ``calc`` returns it.
info : FlowInfo
    The label map, the segments and the tracking points of the call, copied
    out of the engine (it stays valid after later calls).

Raises
------
TypeError, ValueError, ofulk.error
    As for ``calc``.
)doc";

const char* const kCalcFlowDoc =
    R"doc(calc_flow(prev, next, refined=False) -> numpy.ndarray

Dense optical flow from prev to next with a fresh engine.

The values are exactly those of the C function cvCalcOpticalFlowULK on the
grey frames, or with ``refined`` those of cvCalcOpticalFlowULKRefined with
CV_ULK_REFINED_DEFAULT. For a series of frames a FlowEngine saves the
reallocation of its buffers.

Parameters
----------
prev, next : numpy.ndarray
    The older and the newer frame, ``uint8``, of one size and kind: H x W
    grey, or H x W x 3 BGR turned grey the way the viewer does it.
refined : bool, default False
    Compute the refined field (motions up to 40 pixels, sub-pixel
    velocities) at about twice the time.

Returns
-------
numpy.ndarray
    H x W x 2 ``float32``: x and y velocity in pixels per frame pair.

Raises
------
TypeError
    A frame is not an array, or has the wrong dtype or dimensions;
    ``refined`` is not a bool.
ValueError
    The frames differ in size or kind, or a frame is empty.
ofulk.error
    The library failed.
)doc";

const char* const kRefinedDoc =
    "bool: whether the following calls compute the refined field.";

// The refinements behind refined=True: the refined mode of the programs.
constexpr int kRefinedFlags = CV_ULK_REFINED_DEFAULT;

// A refined argument: a bool or a NumPy bool, nothing that merely converts
// to one (1, None, a string).
bool refinedArg(py::handle object)
{
    py::detail::make_caster<bool> flag;
    if (!flag.load(object, false))
        raiseTypeError("refined must be a bool, not " + typeName(object));
    return static_cast<bool>(flag);
}

class FlowEngine {
  public:
    explicit FlowEngine(py::handle refined)
        : engine_(cv::optflow::OptFlowULK::create())
    {
        setRefined(refined);
    }

    bool refined() const { return refined_; }

    // Waits for a running call, so that a call computes with one setting.
    void setRefined(py::handle refined)
    {
        const bool on = refinedArg(refined);
        Unlocked unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->setRefinements(on ? kRefinedFlags : 0);
        refined_ = on;
    }

    py::array calc(py::handle prev, py::handle next, py::handle flow)
    {
        Call call(prev, next, flow);
        releaseBuffersWhenThreadEnds();
        {
            Unlocked unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            engine_->calc(call.prev.mat, call.next.mat, call.flow.mat);
        }
        return call.result();
    }

    py::tuple calcWithInfo(py::handle prev, py::handle next)
    {
        Call call(prev, next, py::none());
        releaseBuffersWhenThreadEnds();
        StuffInfoCopy copy;
        {
            Unlocked unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            copy = copyStuffInfo(engine_->calcWithStuffInfo(
                call.prev.mat, call.next.mat, call.flow.mat));
        }
        py::array flow = call.result();
        return py::make_tuple(flow, toFlowInfo(std::move(copy)));
    }

    // The engine's own storage and buffers, and the work buffers that the
    // library keeps for the calling thread.
    void collectGarbage()
    {
        Unlocked unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->collectGarbage();
    }

  private:
    // The checked arguments of one call and the array that takes the flow.
    struct Call {
        Call(py::handle prevArg, py::handle nextArg, py::handle flowArg)
            : prev(frameArg(prevArg, "prev")), next(frameArg(nextArg, "next"))
        {
            checkFramePair(prev, next);
            const std::vector<py::ssize_t> shape{prev.mat.rows, prev.mat.cols,
                                                 2};
            flow = flowArg.is_none()
                       ? newArray(shape, CV_32FC2)
                       : outputArg(flowArg, "flow", shape, CV_32FC2);
            data = flow.mat.data;
        }

        // The flow array; the engine wrote into its data, never elsewhere.
        py::array result() const
        {
            CV_Assert(flow.mat.data == data);
            return flow.array;
        }

        ArrayMat prev;
        ArrayMat next;
        ArrayMat flow;
        const uchar* data = nullptr;
    };

    cv::Ptr<cv::optflow::OptFlowULK> engine_;
    std::mutex mutex_;
    // The engine's setting, readable without waiting for a running call.
    std::atomic<bool> refined_{false};
};

} // namespace

void bindFlowEngine(py::module_& m)
{
    py::class_<FlowEngine>(m, "FlowEngine", kEngineDoc)
        .def(py::init<py::handle>(), py::arg("refined") = false)
        .def_property("refined", constructedMethod(&FlowEngine::refined),
                      constructedMethod(&FlowEngine::setRefined), kRefinedDoc)
        .def("calc", constructedMethod(&FlowEngine::calc), kCalcDoc,
             py::arg("prev"), py::arg("next"), py::arg("flow") = py::none())
        .def("calc_with_info", constructedMethod(&FlowEngine::calcWithInfo),
             kCalcWithInfoDoc, py::arg("prev"), py::arg("next"))
        .def("collect_garbage", constructedMethod(&FlowEngine::collectGarbage),
             "collect_garbage() -> None\n\nRelease the engine's storage and "
             "buffers, and the work buffers that the library keeps for the "
             "calling thread (those of another thread go when it ends); the "
             "next call makes new ones.");

    m.def(
        "calc_flow",
        [](py::handle prev, py::handle next, py::handle refined) {
            FlowEngine engine(refined);
            return engine.calc(prev, next, py::none());
        },
        kCalcFlowDoc, py::arg("prev"), py::arg("next"),
        py::arg("refined") = false);
}

} // namespace ulk::python
