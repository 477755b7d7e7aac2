// The contour tools' entries: the outline walk with a caller's callback, and
// the comparison that finds a tracking point near another in a sequence.
#include "cvoptflowulk.h"

#include "api/errors.h"
#include "engine/contour_walk.h"
#include "engine/track_point_index.h"

#include <cassert>
#include <cstdint>
#include <cstring>

using ulk::kSameTrackPointDist2;
using ulk::kSameTrackPointReach;

CV_IMPL bool cvDoForEachContourPoint(ContourFunc func, const CvMat* idxMap,
                                     int x, int y, void* userData)
{
    static const char kFunc[] = "cvDoForEachContourPoint";
    if (func == nullptr) {
        ULK_RAISE(CV_StsNullPtr, kFunc, "NULL ContourFunc pointer ");
        return false;
    }
    if (idxMap == nullptr) {
        ULK_RAISE(CV_StsNullPtr, kFunc, "NULL IdxMap pointer ");
        return false;
    }
    return ulk::traceContour(func, idxMap, x, y, userData);
}

CV_IMPL int cvCmpTrackPoints(const void* a, const void* b, void* /*userData*/)
{
    assert(a != nullptr && b != nullptr);
    // Both records begin with an int x and an int y, not necessarily
    // aligned inside a sequence block.
    int pa[2];
    int pb[2];
    std::memcpy(pa, a, sizeof(pa));
    std::memcpy(pb, b, sizeof(pb));
    // 64-bit differences cannot overflow; a component beyond the reach
    // answers before squaring, whose square could pass the 64-bit range.
    const int64_t dx = (int64_t)pa[0] - pb[0];
    const int64_t dy = (int64_t)pa[1] - pb[1];
    if (dx < -kSameTrackPointReach || dx > kSameTrackPointReach ||
        dy < -kSameTrackPointReach || dy > kSameTrackPointReach)
        return -1;
    return dx * dx + dy * dy <= kSameTrackPointDist2 ? 0 : -1;
}
