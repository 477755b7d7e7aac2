// What one engine call found, for Python: the StuffInfo copied out of the
// engine's storage into NumPy arrays (ofulk.FlowInfo), and back into a
// StuffInfo for the library's drawing.
#ifndef OFULK_STUFF_INFO_H
#define OFULK_STUFF_INFO_H

#include "cvoptflowulk.h"

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace ulk::python {

// One row of FlowInfo.segments.
struct SegmentRow {
    std::int32_t label;
    std::uint8_t mean_grey;
    std::int32_t pixel_count;
    std::int32_t rect_x;
    std::int32_t rect_y;
    std::int32_t rect_width;
    std::int32_t rect_height;
    std::int32_t start_x;
    std::int32_t start_y;
};

// One row of FlowInfo.points.
struct PointRow {
    std::int32_t x;
    std::int32_t y;
    std::int32_t vx;
    std::int32_t vy;
    bool valid;
};

// One row of FlowInfo.points after a call with sub-pixel velocities.
struct ExactPointRow {
    std::int32_t x;
    std::int32_t y;
    float vx;
    float vy;
    bool valid;
};

// A StuffInfo in plain memory, made without the interpreter's lock.
struct StuffInfoCopy {
    cv::Mat idxMap; // CV_16UC1, own data
    std::vector<SegmentRow> segments;
    std::vector<PointRow> points;
    // The points' velocities before rounding, when the call had them.
    std::vector<cv::Point2f> exactVelocities;
    // Per segment, the indices into points of its point list, in order.
    std::vector<std::vector<std::int32_t>> segmentPoints;
};

StuffInfoCopy copyStuffInfo(const StuffInfo& info);

// ofulk.FlowInfo: read-only arrays.
struct FlowInfo {
    pybind11::array idxMap;
    pybind11::array segments;
    pybind11::array points;
    pybind11::tuple segmentPoints;
};

FlowInfo toFlowInfo(StuffInfoCopy&& copy);

// A StuffInfo rebuilt from a FlowInfo in a storage of its own, for
// cvDrawOpticalFlowStuffInfo. The IdxMap header reads the FlowInfo's
// array, which must outlive this object.
class RebuiltStuffInfo {
  public:
    explicit RebuiltStuffInfo(const FlowInfo& info);

    StuffInfo* get() { return &info_; }

  private:
    // Released also when the constructor stops on a bad array.
    struct Storage {
        CvMemStorage* p = nullptr;
        Storage() = default;
        Storage(const Storage&) = delete;
        Storage& operator=(const Storage&) = delete;
        ~Storage() { cvReleaseMemStorage(&p); }
    };
    Storage storage_;
    StuffInfo info_{};
};

} // namespace ulk::python

#endif
