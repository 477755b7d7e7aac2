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

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <memory>
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
    Compute the refined field (the engine's field and a variational
    pyramid; motions of 60 pixels and more), the values of the C function
    cvCalcOpticalFlowULKRefinedEx with the settings below, as
    ``of_ulk ... /hq`` does with the defaults; False gives those of
    cvCalcOpticalFlowULK. The ``refined`` property reads and changes it for
    the following calls.
pyramid_scale, coarsest_side, finest_scale, alpha, delta, gamma, \
outer_iterations, inner_iterations, fuse_scale : optional, keyword only
    The refined mode's settings, the fields of the C record
    CvULKRefineParams (pyramidScale to fuseScale), used while ``refined``
    is True; None keeps the library's default. ``coarsest_side``,
    ``outer_iterations`` and ``inner_iterations`` are ints, the others
    floats (ints accepted). The ``refine_params`` property reads them all.

Raises
------
TypeError
    ``refined`` is not a bool, or a setting is not a number of its kind.
ValueError
    A setting is out of its range (the first one, in the order above).

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
    R"doc(calc_flow(prev, next, refined=False, **settings) -> numpy.ndarray

Dense optical flow from prev to next with a fresh engine.

The values are exactly those of the C function cvCalcOpticalFlowULK on the
grey frames, or with ``refined`` those of cvCalcOpticalFlowULKRefinedEx
with the settings (by default those of CV_ULK_REFINED_DEFAULT). For a
series of frames a FlowEngine saves the reallocation of its buffers.

Parameters
----------
prev, next : numpy.ndarray
    The older and the newer frame, ``uint8``, of one size and kind: H x W
    grey, or H x W x 3 BGR turned grey the way the viewer does it.
refined : bool, default False
    Compute the refined field (motions of 60 pixels and more, sub-pixel
    accuracy) at about two and a half times the time.
**settings
    The refined mode's keyword-only settings, as for FlowEngine.

Returns
-------
numpy.ndarray
    H x W x 2 ``float32``: x and y velocity in pixels per frame pair.

Raises
------
TypeError
    A frame is not an array, or has the wrong dtype or dimensions;
    ``refined`` is not a bool or a setting not a number of its kind.
ValueError
    The frames differ in size or kind, a frame is empty, or a setting is
    out of its range.
ofulk.error
    The library failed.
)doc";

const char* const kRefinedDoc =
    "bool: whether the following calls compute the refined field.";

const char* const kRefineParamsDoc =
    "dict: the refined mode's settings of the following calls, by keyword.";

// The refinements behind refined=True: the refined mode of the programs.
constexpr int kRefinedFlags = CV_ULK_REFINED_DEFAULT;

// One keyword setting of the refined mode: its Python name, the field of
// CvULKRefineParams it sets and that field's name in the library's
// messages.
struct Setting {
    const char* keyword;
    const char* field;
    int CvULKRefineParams::*intField;
    double CvULKRefineParams::*doubleField;
};

// In the record's order, which is the order of the checks.
const Setting kSettings[] = {
    {"pyramid_scale", "pyramidScale", nullptr,
     &CvULKRefineParams::pyramidScale},
    {"coarsest_side", "coarsestSide", &CvULKRefineParams::coarsestSide,
     nullptr},
    {"finest_scale", "finestScale", nullptr, &CvULKRefineParams::finestScale},
    {"alpha", "alpha", nullptr, &CvULKRefineParams::alpha},
    {"delta", "delta", nullptr, &CvULKRefineParams::delta},
    {"gamma", "gamma", nullptr, &CvULKRefineParams::gamma},
    {"outer_iterations", "outerIterations", &CvULKRefineParams::outerIterations,
     nullptr},
    {"inner_iterations", "innerIterations", &CvULKRefineParams::innerIterations,
     nullptr},
    {"omega", "omega", nullptr, &CvULKRefineParams::omega},
    {"fuse_scale", "fuseScale", nullptr, &CvULKRefineParams::fuseScale},
};
constexpr std::size_t kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

// The keyword settings in the signatures of FlowEngine() and calc_flow(),
// in the order of kSettings.
#define SETTING_ARGS                                                           \
    py::arg("pyramid_scale") = py::none(),                                     \
    py::arg("coarsest_side") = py::none(),                                     \
    py::arg("finest_scale") = py::none(), py::arg("alpha") = py::none(),       \
    py::arg("delta") = py::none(), py::arg("gamma") = py::none(),              \
    py::arg("outer_iterations") = py::none(),                                  \
    py::arg("inner_iterations") = py::none(), py::arg("omega") = py::none(),   \
    py::arg("fuse_scale") = py::none()

// The keyword settings as given, None for those left at their default.
using SettingArgs = std::array<py::object, kSettingCount>;

// The library's defaults with the given settings in place. Types are
// checked here (a bool is no number); ranges are the library's to check.
CvULKRefineParams settingsArg(const SettingArgs& args)
{
    CvULKRefineParams params = cvULKRefineParams();
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        const Setting& setting = kSettings[i];
        const py::object& value = args[i];
        if (value.is_none())
            continue;
        const bool isInt =
            PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
        if (setting.intField) {
            if (!isInt)
                raiseTypeError(std::string(setting.keyword) +
                               " must be an int, not " + typeName(value));
            const long long number = value.cast<long long>();
            // Beyond int the library's range check refuses it anyway.
            params.*setting.intField = int(std::max<long long>(
                INT_MIN, std::min<long long>(INT_MAX, number)));
        } else {
            if (!isInt && !PyFloat_Check(value.ptr()))
                raiseTypeError(std::string(setting.keyword) +
                               " must be a float, not " + typeName(value));
            params.*setting.doubleField = value.cast<double>();
        }
    }
    return params;
}

// The library's range message with the field's name as the keyword.
std::string keywordMessage(std::string message)
{
    for (const Setting& setting : kSettings) {
        const std::string field = setting.field;
        if (message.compare(0, field.size() + 1, field + " ") == 0)
            return setting.keyword + message.substr(field.size());
    }
    return message;
}

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
    FlowEngine(py::handle refined, const SettingArgs& settings)
        : engine_(cv::optflow::OptFlowULK::create())
    {
        const bool on = refinedArg(refined);
        CvULKRefineParams params = settingsArg(settings);
        params.flags = on ? kRefinedFlags : 0;
        try {
            engine_->setRefineParams(params);
        } catch (const cv::Exception& e) {
            if (e.code != CV_StsOutOfRange)
                throw;
            raiseValueError(keywordMessage(e.err));
        }
        refined_ = on;
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

    py::dict refineParams() const
    {
        const CvULKRefineParams params = engine_->getRefineParams();
        py::dict settings;
        for (const Setting& setting : kSettings) {
            if (setting.intField)
                settings[setting.keyword] = params.*setting.intField;
            else
                settings[setting.keyword] = params.*setting.doubleField;
        }
        return settings;
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
        .def(py::init([](py::handle refined, py::object pyramidScale,
                         py::object coarsestSide, py::object finestScale,
                         py::object alpha, py::object delta, py::object gamma,
                         py::object outerIterations, py::object innerIterations,
                         py::object omega, py::object fuseScale) {
                 return std::make_unique<FlowEngine>(
                     refined,
                     SettingArgs{pyramidScale, coarsestSide, finestScale, alpha,
                                 delta, gamma, outerIterations, innerIterations,
                                 omega, fuseScale});
             }),
             py::arg("refined") = false, py::kw_only(), SETTING_ARGS)
        .def_property("refined", constructedMethod(&FlowEngine::refined),
                      constructedMethod(&FlowEngine::setRefined), kRefinedDoc)
        .def_property_readonly("refine_params",
                               constructedMethod(&FlowEngine::refineParams),
                               kRefineParamsDoc)
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
        [](py::handle prev, py::handle next, py::handle refined,
           py::object pyramidScale, py::object coarsestSide,
           py::object finestScale, py::object alpha, py::object delta,
           py::object gamma, py::object outerIterations,
           py::object innerIterations, py::object omega, py::object fuseScale) {
            FlowEngine engine(
                refined, SettingArgs{pyramidScale, coarsestSide, finestScale,
                                     alpha, delta, gamma, outerIterations,
                                     innerIterations, omega, fuseScale});
            return engine.calc(prev, next, py::none());
        },
        kCalcFlowDoc, py::arg("prev"), py::arg("next"),
        py::arg("refined") = false, py::kw_only(), SETTING_ARGS);
}

} // namespace ulk::python
