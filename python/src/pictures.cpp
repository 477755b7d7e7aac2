// Pictures of a field: the viewer's colour rendering, the exporter's colour
// wheel and the library's drawing of what the engine found.
#include "arrays.h"
#include "bindings.h"
#include "constructed.h"
#include "errors.h"
#include "stuff_info.h"
#include "unlocked.h"

#include "flow_wheel.h"
#include "image_holder.h"
#include "velocity_colour.h"

#include <cmath>

namespace ulk::python {

namespace py = pybind11;

namespace {

const char* const kColourDoc =
    R"doc(flow_to_colour(flow, k=0.08) -> numpy.ndarray

The field in the viewer's colours, as of_ulk shows it.

Hue gives the direction (right cyan, left red, up yellow-green, down
violet), lightness the speed: no motion is black, large motion fades to
white. The bytes equal the viewer's.

Parameters
----------
flow : numpy.ndarray
    H x W x 2 ``float32`` field.
k : float, default 0.08
    Lightness factor: lightness is 1 - exp(-k * speed**2). The viewer uses
    0.08 for one field and 0.04 for the sum of two.

Returns
-------
numpy.ndarray
    H x W x 3 ``uint8`` BGR image.

Raises
------
TypeError
    ``flow`` is not an H x W x 2 ``float32`` array.
ValueError
    ``flow`` is empty, or ``k`` is negative or not finite.
)doc";

const char* const kWheelDoc =
    R"doc(flow_to_wheel(flow, max_speed=None) -> numpy.ndarray

The field in the usual colour-wheel coding, as of_ulk_export --wheel writes it.

Zero motion is white; the direction picks the hue (right red, down
orange-yellow, left cyan-blue, up violet-blue) and the saturation grows with
the speed up to ``max_speed``. Speeds beyond a fixed ``max_speed`` keep the
full colour darkened to 75 %; unknown velocities (not finite, or above 1e9)
are black.

Parameters
----------
flow : numpy.ndarray
    H x W x 2 ``float32`` field.
max_speed : float, optional
    Speed of full saturation. By default the field's largest known speed.

Returns
-------
numpy.ndarray
    H x W x 3 ``uint8`` BGR image.

Raises
------
TypeError
    ``flow`` is not an H x W x 2 ``float32`` array.
ValueError
    ``flow`` is empty, or ``max_speed`` is not a positive finite number.
)doc";

const char* const kDrawDoc =
    R"doc(draw_stuff_info(image, info) -> None

Draw what the engine found into a BGR image, in place.

Every segment is filled with its mean grey, its outline traced in grey-blue
(a one-pixel segment in red), and every tracking point marked by a green
circle with a cyan line of twice its motion, as ``of_ulk /si`` shows it.

Parameters
----------
image : numpy.ndarray
    H x W x 3 ``uint8`` writeable BGR image (a crop will do) at least as large
    as ``info.idx_map``; pixels that no mark covers keep their values.
info : FlowInfo
    From ``FlowEngine.calc_with_info``.

Raises
------
TypeError
    ``image`` is not an H x W x 3 ``uint8`` array, or ``info`` not a
    FlowInfo.
ValueError
    ``image`` is smaller than the label map, skips pixels or is read-only.
ofulk.error
    The library failed.
)doc";

// x and y velocity as the two one-channel maps that the renderers take.
void splitField(const cv::Mat& flow, cv::Mat& velx, cv::Mat& vely)
{
    cv::Mat channels[2];
    cv::split(flow, channels);
    velx = channels[0];
    vely = channels[1];
}

py::array flowToColour(py::handle flowObject, double k)
{
    ArrayMat flow = flowArg(flowObject, "flow");
    if (!(std::isfinite(k) && k >= 0.0))
        raiseValueError("k must be a finite number of at least 0, not " +
                        std::string(py::str(py::float_(k))));
    ArrayMat out = newArray({flow.mat.rows, flow.mat.cols, 3}, CV_8UC3);
    {
        Unlocked unlocked;
        cv::Mat velx, vely;
        splitField(flow.mat, velx, vely);
        CvMat vx = cvMat(velx);
        CvMat vy = cvMat(vely);
        IplImage image = cvIplImage(out.mat);
        viz::ImageHolder holder(&image, viz::ImageHolder::Borrow);
        viz::renderVelocityColour(&vx, &vy, k, holder);
    }
    return out.array;
}

py::array flowToWheel(py::handle flowObject, py::handle maxSpeedObject)
{
    ArrayMat flow = flowArg(flowObject, "flow");
    double maxSpeed = 0.0; // the field's largest speed
    if (!maxSpeedObject.is_none()) {
        // Any real number: Python's, NumPy's scalars, anything with
        // __float__ or __index__.
        maxSpeed = PyFloat_AsDouble(maxSpeedObject.ptr());
        if (maxSpeed == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            raiseTypeError("max_speed must be a number or None, not " +
                           typeName(maxSpeedObject));
        }
        if (!(std::isfinite(maxSpeed) && maxSpeed > 0.0))
            raiseValueError("max_speed must be a positive finite number, "
                            "not " +
                            std::string(py::str(maxSpeedObject)));
    }
    ArrayMat out = newArray({flow.mat.rows, flow.mat.cols, 3}, CV_8UC3);
    {
        Unlocked unlocked;
        cv::Mat velx, vely;
        splitField(flow.mat, velx, vely);
        viz::renderFlowWheel(velx, vely, maxSpeed).copyTo(out.mat);
    }
    return out.array;
}

void drawStuffInfo(py::handle imageObject, const FlowInfo& infoObject)
{
    const FlowInfo& info = constructed(infoObject);
    const py::ssize_t rows = info.idxMap.ndim() == 2 ? info.idxMap.shape(0) : 0;
    const py::ssize_t cols = info.idxMap.ndim() == 2 ? info.idxMap.shape(1) : 0;
    if (!py::isinstance<py::array>(imageObject))
        raiseTypeError("image must be a numpy.ndarray, not " +
                       typeName(imageObject));
    py::array array = py::reinterpret_borrow<py::array>(imageObject);
    if (array.ndim() != 3 || array.shape(2) != 3)
        raiseTypeError("image must be H x W x 3 (BGR), not shape " +
                       shapeText(array));
    if (array.shape(0) < rows || array.shape(1) < cols)
        raiseValueError("image of shape " + shapeText(array) +
                        " is smaller than info.idx_map " +
                        shapeText(info.idxMap));
    ArrayMat image = outputArg(imageObject, "image",
                               {array.shape(0), array.shape(1), 3}, CV_8UC3);
    RebuiltStuffInfo rebuilt(info);
    Unlocked unlocked;
    CvMat header = cvMat(image.mat);
    cvDrawOpticalFlowStuffInfo(&header, rebuilt.get());
}

} // namespace

void bindPictures(py::module_& m)
{
    m.def("flow_to_colour", &flowToColour, kColourDoc, py::arg("flow"),
          py::arg("k") = viz::kColourFactorSingle);
    m.def("flow_to_wheel", &flowToWheel, kWheelDoc, py::arg("flow"),
          py::arg("max_speed") = py::none());
    m.def("draw_stuff_info", &drawStuffInfo, kDrawDoc, py::arg("image"),
          py::arg("info"));
}

} // namespace ulk::python
