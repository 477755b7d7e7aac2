#include "stuff_info.h"

#include "arrays.h"
#include "bindings.h"
#include "constructed.h"
#include "errors.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace ulk::python {

namespace py = pybind11;

namespace {

const char* const kFlowInfoDoc =
    R"doc(What one engine call found, as returned by FlowEngine.calc_with_info.

Attributes (all read-only)
--------------------------
idx_map : numpy.ndarray
    H x W ``uint16`` label map: every pixel holds the label of its segment.
segments : numpy.ndarray
    Structured array, one row per segment in ascending label order, fields
    ``label`` (65 upward), ``mean_grey``, ``pixel_count``, ``rect_x``,
    ``rect_y``, ``rect_width``, ``rect_height`` (the rectangle spans
    rect_x..rect_x+rect_width and rect_y..rect_y+rect_height, both ends
    included), ``start_x``, ``start_y`` (the seed pixel).
points : numpy.ndarray
    Structured array of the tracking points in creation order, fields ``x``,
    ``y`` (position), ``vx``, ``vy`` (motion from prev to next: ``int32``
    whole pixels, or ``float32`` after a refined call, whose search finds
    fractions of a pixel) and ``valid`` (False: the match was rejected and
    the motion is (0, 0)).
segment_points : tuple of numpy.ndarray
    For each segment, the ``int32`` indices into ``points`` of its outline's
    points, in order; a point may stand in several segments.
)doc";

// Array of rows with their registered dtype, read-only.
template <typename Row> py::array readOnlyRows(const std::vector<Row>& rows)
{
    py::array_t<Row> array(static_cast<py::ssize_t>(rows.size()));
    if (!rows.empty())
        std::memcpy(array.mutable_data(), rows.data(),
                    rows.size() * sizeof(Row));
    array.attr("setflags")(py::arg("write") = false);
    return array;
}

// The rows of a FlowInfo array, checked against the dtype it was made with.
template <typename Row>
py::array_t<Row> rowsOf(const py::array& array, const char* name)
{
    if (!array.dtype().equal(py::dtype::of<Row>()) || array.ndim() != 1 ||
        !(array.flags() & py::array::c_style))
        raiseValueError(std::string("info.") + name +
                        " is not the array that calc_with_info made");
    return py::reinterpret_borrow<py::array_t<Row>>(array);
}

} // namespace

StuffInfoCopy copyStuffInfo(const StuffInfo& info)
{
    StuffInfoCopy copy;
    copy.idxMap = cv::cvarrToMat(&info.idxMap).clone();

    // Point records are found again by their address in the storage.
    std::unordered_map<const void*, std::int32_t> pointIndex;
    const int pointCount = info.trackPoints ? info.trackPoints->total : 0;
    copy.points.reserve(pointCount);
    for (int i = 0; i < pointCount; ++i) {
        const void* element = cvGetSeqElem(info.trackPoints, i);
        TrackPoint p;
        std::memcpy(&p, element, sizeof p);
        // Rows start from zero bytes, so that their padding is defined.
        PointRow row;
        std::memset(&row, 0, sizeof row);
        row.x = p.x;
        row.y = p.y;
        row.vx = p.vx;
        row.vy = p.vy;
        row.valid = p.valid != 0;
        copy.points.push_back(row);
        pointIndex.emplace(element, i);
    }

    const CvSeq* exact = info.trackPoints ? info.trackPoints->v_next : nullptr;
    if (exact != nullptr && exact->total == pointCount &&
        exact->elem_size == sizeof(CvPoint2D32f)) {
        copy.exactVelocities.resize(pointCount);
        cvCvtSeqToArray(exact, copy.exactVelocities.data());
    }

    const int segmentCount = info.segments ? info.segments->total : 0;
    copy.segments.reserve(segmentCount);
    copy.segmentPoints.resize(segmentCount);
    for (int i = 0; i < segmentCount; ++i) {
        SegmentRecord r;
        std::memcpy(&r, cvGetSeqElem(info.segments, i), sizeof r);
        SegmentRow row;
        std::memset(&row, 0, sizeof row);
        row.label = r.label;
        row.mean_grey = r.meanGrey;
        row.pixel_count = r.pixelCount;
        row.rect_x = r.rectX;
        row.rect_y = r.rectY;
        row.rect_width = r.rectWidth;
        row.rect_height = r.rectHeight;
        row.start_x = r.startX;
        row.start_y = r.startY;
        copy.segments.push_back(row);
        const int n = r.points ? r.points->total : 0;
        std::vector<std::int32_t>& indices = copy.segmentPoints[i];
        indices.reserve(n);
        for (int j = 0; j < n; ++j) {
            TrackPoint* point;
            std::memcpy(&point, cvGetSeqElem(r.points, j), sizeof point);
            auto found = pointIndex.find(point);
            indices.push_back(found == pointIndex.end() ? -1 : found->second);
        }
    }
    return copy;
}

FlowInfo toFlowInfo(StuffInfoCopy&& copy)
{
    FlowInfo info;
    const cv::Mat& map = copy.idxMap;
    py::array_t<std::uint16_t> idx({static_cast<py::ssize_t>(map.rows),
                                    static_cast<py::ssize_t>(map.cols)});
    for (int y = 0; y < map.rows; ++y)
        std::memcpy(idx.mutable_data(y, 0), map.ptr(y), map.cols * 2);
    idx.attr("setflags")(py::arg("write") = false);
    info.idxMap = idx;
    info.segments = readOnlyRows(copy.segments);
    if (copy.exactVelocities.empty()) {
        info.points = readOnlyRows(copy.points);
    } else {
        std::vector<ExactPointRow> rows(copy.points.size());
        std::memset(rows.data(), 0, rows.size() * sizeof(ExactPointRow));
        for (size_t i = 0; i < rows.size(); ++i) {
            const PointRow& p = copy.points[i];
            rows[i].x = p.x;
            rows[i].y = p.y;
            rows[i].vx = copy.exactVelocities[i].x;
            rows[i].vy = copy.exactVelocities[i].y;
            rows[i].valid = p.valid;
        }
        info.points = readOnlyRows(rows);
    }
    py::tuple lists(copy.segmentPoints.size());
    for (size_t i = 0; i < copy.segmentPoints.size(); ++i)
        lists[i] = readOnlyRows(copy.segmentPoints[i]);
    info.segmentPoints = lists;
    return info;
}

RebuiltStuffInfo::RebuiltStuffInfo(const FlowInfo& flowInfo)
{
    py::array map = flowInfo.idxMap;
    if (!map.dtype().equal(py::dtype::of<std::uint16_t>()) || map.ndim() != 2 ||
        !(map.flags() & py::array::c_style) || map.size() == 0)
        raiseValueError("info.idx_map is not the array that calc_with_info "
                        "made");
    auto segments = rowsOf<SegmentRow>(flowInfo.segments, "segments");
    // Points with the velocities of a refined call are drawn with the
    // whole pixels that the library rounds them to.
    std::vector<PointRow> rounded;
    const py::array given = flowInfo.points;
    if (given.dtype().equal(py::dtype::of<ExactPointRow>())) {
        auto exact = rowsOf<ExactPointRow>(given, "points");
        for (py::ssize_t i = 0; i < exact.shape(0); ++i) {
            const ExactPointRow& p = exact.data()[i];
            rounded.push_back({p.x, p.y, int(std::lround(p.vx)),
                               int(std::lround(p.vy)), p.valid});
        }
    } else {
        auto whole = rowsOf<PointRow>(given, "points");
        rounded.assign(whole.data(), whole.data() + whole.shape(0));
    }
    const py::ssize_t pointCount = py::ssize_t(rounded.size());
    if (py::len(flowInfo.segmentPoints) !=
        static_cast<size_t>(segments.shape(0)))
        raiseValueError("info.segment_points does not have one entry per "
                        "segment");

    storage_.p = cvCreateMemStorage(0);
    cvInitMatHeader(&info_.idxMap, static_cast<int>(map.shape(0)),
                    static_cast<int>(map.shape(1)), CV_16UC1,
                    const_cast<void*>(map.data()));
    info_.trackPoints =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage_.p);
    info_.segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage_.p);
    for (const PointRow& p : rounded) {
        TrackPoint point{p.x, p.y, p.vx, p.vy,
                         static_cast<unsigned char>(p.valid ? 1 : 0)};
        cvSeqPush(info_.trackPoints, &point);
    }
    for (py::ssize_t i = 0; i < segments.shape(0); ++i) {
        const SegmentRow& s = segments.data()[i];
        SegmentRecord record{};
        record.label = s.label;
        record.meanGrey = s.mean_grey;
        record.pixelCount = s.pixel_count;
        record.rectX = s.rect_x;
        record.rectY = s.rect_y;
        record.rectWidth = s.rect_width;
        record.rectHeight = s.rect_height;
        record.startX = s.start_x;
        record.startY = s.start_y;
        record.points =
            cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint*), storage_.p);
        auto indices = rowsOf<std::int32_t>(
            py::reinterpret_borrow<py::array>(flowInfo.segmentPoints[i]),
            "segment_points");
        for (py::ssize_t j = 0; j < indices.shape(0); ++j) {
            const std::int32_t k = indices.data()[j];
            if (k < 0 || k >= pointCount)
                raiseValueError("info.segment_points holds index " +
                                std::to_string(k) + " outside info.points");
            TrackPoint* point = reinterpret_cast<TrackPoint*>(
                cvGetSeqElem(info_.trackPoints, k));
            cvSeqPush(record.points, &point);
        }
        cvSeqPush(info_.segments, &record);
    }
}

void bindStuffInfo(py::module_& m)
{
    // The row types are registered before any array of them is made.
    PYBIND11_NUMPY_DTYPE(SegmentRow, label, mean_grey, pixel_count, rect_x,
                         rect_y, rect_width, rect_height, start_x, start_y);
    PYBIND11_NUMPY_DTYPE(PointRow, x, y, vx, vy, valid);
    PYBIND11_NUMPY_DTYPE(ExactPointRow, x, y, vx, vy, valid);

    py::class_<FlowInfo>(m, "FlowInfo", kFlowInfoDoc)
        .def_property_readonly(
            "idx_map",
            [](const FlowInfo& info) { return constructed(info).idxMap; })
        .def_property_readonly(
            "segments",
            [](const FlowInfo& info) { return constructed(info).segments; })
        .def_property_readonly(
            "points",
            [](const FlowInfo& info) { return constructed(info).points; })
        .def_property_readonly("segment_points",
                               [](const FlowInfo& info) {
                                   return constructed(info).segmentPoints;
                               })
        .def("__repr__", [](const FlowInfo& self) {
            const FlowInfo& info = constructed(self);
            return "<ofulk.FlowInfo " + shapeText(info.idxMap) + ", " +
                   std::to_string(info.segments.shape(0)) + " segments, " +
                   std::to_string(info.points.shape(0)) + " points>";
        });
}

} // namespace ulk::python
