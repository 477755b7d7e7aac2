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
    static const char kFunc[] = "cvGetSegIndex";
    if (map == nullptr) {
        ULK_RAISE(CV_StsNullPtr, kFunc, "NULL map pointer ");
        return 0;
    }
    // Positions outside the map read 0, whatever the map's type.
    if (x < 0 || y < 0 || x >= map->cols || y >= map->rows)
        return 0;

    // The row by its step: the map may be a view into a larger array.
    const unsigned char* row =
        map->data.ptr + static_cast<std::ptrdiff_t>(y) * map->step;
    switch (CV_MAT_TYPE(map->type)) {
    case CV_8UC1:
    case CV_8SC1: // read unsigned: a stored -1 gives 255
        return row[x];
    case CV_16UC1: // read signed: 32768..65535 give -32768..-1
    case CV_16SC1:
        return reinterpret_cast<const short*>(row)[x];
    case CV_32SC1:
        return reinterpret_cast<const int*>(row)[x];
    case CV_32FC1:
        return saturatedLabel(reinterpret_cast<const float*>(row)[x]);
    case CV_64FC1:
        return saturatedLabel(reinterpret_cast<const double*>(row)[x]);
    default:
        break;
    }
    ULK_RAISE(CV_StsUnsupportedFormat, kFunc,
              "Format must be CV_8UC1, CV_8SC1, CV_16UC1, CV_16SC1, "
              "CV_32SC1, CV_32FC1 or CV_64FC1");
    return 0;
}
