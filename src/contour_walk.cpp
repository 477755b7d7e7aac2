// Contour follower: walks the boundary of an 8-connected region of a label
// map with the outside on its left and reports every step to a callback.
#include "contour_walk.h"

#include "errors.h"

namespace {

// Offsets of the eight neighbours, indexed by direction code.
const int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

inline bool samePoint(CvPoint a, CvPoint b)
{
    return a.x == b.x && a.y == b.y;
}

} // namespace

CvPoint neighbourOf(CvPoint p, int d)
{
    return cvPoint(p.x + kDx[d], p.y + kDy[d]);
}

bool crossesEdge(const CvMat* map, CvPoint p, int label, int d)
{
    const CvPoint n = neighbourOf(p, d);
    const bool inside = cvGetSegIndex(map, p.x, p.y) == label;
    const bool neighbourInside = cvGetSegIndex(map, n.x, n.y) == label;
    return inside != neighbourInside;
}

bool turnLeftIfEdge(const CvMat* map, CvPoint p, int label, int* e)
{
    const int left = (*e - 2) & 7;
    if (!crossesEdge(map, p, label, left))
        return false;
    *e = left;
    return true;
}

bool contourStep(const CvMat* map, CvPoint* p, int label, int* d, CvPoint* q,
                 int* e)
{
    // Diagonal directions are straightened to the next side direction.
    if (*d & 1)
        *d = (*d + 1) & 7;
    const int ahead = *d;
    const int left = (ahead - 2) & 7;
    const int frontLeft = (ahead - 1) & 7;

    if (crossesEdge(map, *p, label, ahead)) {
        if (crossesEdge(map, *p, label, left) &&
            !crossesEdge(map, *p, label, frontLeft)) {
            // The outside bends away: pivot round the left pixel.
            *q = neighbourOf(*p, left);
            *e = (ahead + 2) & 7;
        } else {
            // Blocked ahead: pivot round the pixel ahead, which turns right
            // on the spot unless the region goes on across the front-right
            // corner.
            *q = neighbourOf(*p, ahead);
            *e = (ahead - 4) & 7;
        }
        *d = kDirPivot;
        return false;
    }
    if (crossesEdge(map, *p, label, frontLeft)) {
        *p = neighbourOf(*p, ahead);
        return true;
    }
    *q = neighbourOf(*p, left);
    *e = (ahead + 2) & 7;
    *d = crossesEdge(map, *p, label, left) ? kDirPivot : kDirNone;
    return false;
}

CvPoint nextContourPoint(const CvMat* map, CvPoint p0, int label, int* d)
{
    if (label == 0)
        return p0;

    // A member on the left means the direction no longer follows the edge.
    if (*d != kDirNone && !crossesEdge(map, p0, label, (*d - 2) & 7))
        *d = kDirNone;
    if (*d == kDirNone) {
        int found = kDirNone;
        for (int i = 0; i < 8 && found == kDirNone; ++i) {
            if (!crossesEdge(map, p0, label, i) &&
                crossesEdge(map, p0, label, (i - 2) & 7))
                found = i;
        }
        if (found == kDirNone)
            return p0;
        *d = found;
    }

    // Step, or turn on the spot, until the point moves or no direction is
    // left.
    CvPoint p = p0;
    CvPoint q = p0;
    int e = 0;
    do {
        const bool moved = contourStep(map, &p, label, d, &q, &e);
        if (!moved && *d == kDirPivot) {
            if (turnLeftIfEdge(map, q, label, &e))
                p = neighbourOf(q, e);
            *d = (e - 2) & 7;
        }
    } while (samePoint(p, p0) && *d != kDirNone);
    return p;
}

bool traceContour(ContourFunc func, const CvMat* map, int x, int y,
                  void* userData)
{
    const int label = cvGetSegIndex(map, x, y);

    // Start from the topmost member of the column run.
    while (y > 0 && cvGetSegIndex(map, x, y - 1) == label)
        --y;
    const CvPoint start = cvPoint(x, y);

    int d = kDirNone;
    CvPoint previous = start;
    CvPoint p = nextContourPoint(map, start, label, &d);
    if (!func(p.x, p.y, label, d, userData))
        return false;
    for (;;) {
        if (samePoint(p, start))
            return true;
        if (samePoint(p, previous))
            return false; // no progress
        previous = p;
        p = nextContourPoint(map, p, label, &d);
        if (!func(p.x, p.y, label, d, userData))
            return false;
    }
}

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
    return traceContour(func, idxMap, x, y, userData);
}
