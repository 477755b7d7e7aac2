// Index map access: the one read primitive for label and level maps.
#include "api/errors.h"
#include "cvoptflowulk.h"

#include <climits>
#include <cstddef>

namespace {

// A float label truncated toward zero, saturated to the int range; NaN
// reads 0. A plain conversion of such values is undefined.
int saturatedLabel(double value)
{
    if (value != value)
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

CV_IMPL int cvGetSegIndex(const CvMat* map, int x, int y)
{
    // Positions outside the map read 0, whatever the map's type.
    if (x < 0 || y < 0 || x >= map->cols || y >= map->rows)
        return 0;

    const std::size_t index =
        static_cast<std::size_t>(y) * static_cast<std::size_t>(map->cols) +
        static_cast<std::size_t>(x);
    switch (CV_MAT_TYPE(map->type)) {
    case CV_8UC1:
    case CV_8SC1: // read unsigned: a stored -1 gives 255
        return map->data.ptr[index];
    case CV_16UC1: // read signed: 32768..65535 give -32768..-1
    case CV_16SC1:
        return map->data.s[index];
    case CV_32SC1:
        return map->data.i[index];
    case CV_32FC1:
        return saturatedLabel(map->data.fl[index]);
    case CV_64FC1:
        return saturatedLabel(map->data.db[index]);
    default:
        break;
    }
    ULK_RAISE(CV_StsUnsupportedFormat, "cvGetSegIndex",
              "Format must be CV_8UC1, CV_8SC1, CV_16UC1, CV_16SC1, "
              "CV_32SC1, CV_32FC1 or CV_64FC1");
    return 0;
}
