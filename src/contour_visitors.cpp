// ContourFunc visitors of the engine: region measuring, outline recording
// and outline marking, with the drivers that run their walks.
#include "contour_visitors.h"

#include "contour_walk.h"

#include <cassert>
#include <cstring>

namespace {

inline void extendBox(int* boxMin, int* boxMax, int x, int y)
{
    if (x < boxMin[0])
        boxMin[0] = x;
    if (y < boxMin[1])
        boxMin[1] = y;
    if (x > boxMax[0])
        boxMax[0] = x;
    if (y > boxMax[1])
        boxMax[1] = y;
}

} // namespace

bool measureSegmentPoint(int x, int y, int label, int direction, void* record)
{
    SegmentMeasure* m = static_cast<SegmentMeasure*>(record);
    const int n = m->count;
    m->count = n + 1;
    if (n >= kMeasureLimit)
        return false; // long enough: the count stays one past the limit

    extendBox(m->boxMin, m->boxMax, x, y);

    // The outside pixel on the left of the travel direction.
    const CvPoint p = cvPoint(x, y);
    CvPoint n0 = p;
    int t = 0;
    if (direction != kDirNone) {
        n0 = neighbourOf(p, (direction - 2) & 7);
        t = cvGetSegIndex(m->map, n0.x, n0.y);
    }
    // Without a usable left pixel, take the first neighbour (from below,
    // clockwise) that offers a new value.
    if (t == 0 || direction == kDirNone) {
        bool found = false;
        for (int i = 0; i < 8 && !found; ++i) {
            n0 = neighbourOf(p, (i - 2) & 7);
            t = cvGetSegIndex(m->map, n0.x, n0.y);
            found = t != label && t != m->bestLabel;
        }
        if (!found)
            return true;
    }
    // Outside the map (0) is never chosen.
    if (t == 0 || t == m->bestLabel)
        return true;

    const int cols = m->map->cols;
    const int diff = static_cast<int>(m->grey[y * cols + x]) -
                     static_cast<int>(m->grey[n0.y * cols + n0.x]);
    if (diff * diff < m->bestDiff) {
        m->bestDiff = diff * diff;
        m->bestLabel = t;
    }
    return true;
}

bool recordOutlineVertex(int x, int y, int label, int direction, void* record)
{
    (void)label;
    OutlineRecorder* r = static_cast<OutlineRecorder*>(record);
    if (r->keepBox) {
        if (x < r->minX)
            r->minX = x;
        if (y < r->minY)
            r->minY = y;
        if (x > r->maxX)
            r->maxX = x;
        if (y > r->maxY)
            r->maxY = y;
    }
    if (r->first) {
        r->first = 0;
        r->lastX = x;
        r->lastY = y;
        r->lastDir = direction;
        CvPoint point = cvPoint(x, y);
        CV_WRITE_SEQ_ELEM(point, *r->writer);
        return true;
    }
    // A change of direction makes the previous point a corner.
    if (direction != r->lastDir) {
        CvPoint corner = cvPoint(r->lastX, r->lastY);
        CV_WRITE_SEQ_ELEM(corner, *r->writer);
    }
    r->lastDir = direction;
    r->lastX = x;
    r->lastY = y;
    return true;
}

void extractOutline(const CvMat* map, int x, int y, CvMemStorage* storage,
                    CvSeq** outline, int* rect)
{
    // The caller's sequence is reused (it may have been swapped for another
    // since the last call) so that outlines do not pile up in the storage.
    if (*outline == nullptr)
        *outline = cvCreateSeq(CV_SEQ_POLYGON, sizeof(CvContour),
                               sizeof(CvPoint), storage);
    else
        cvClearSeq(*outline);

    CvSeqWriter writer;
    cvStartAppendToSeq(*outline, &writer);
    OutlineRecorder r;
    r.first = 1;
    r.lastX = x;
    r.lastY = y;
    r.lastDir = kDirNone;
    r.writer = &writer;
    r.keepBox = rect != nullptr;
    r.minX = r.maxX = x;
    r.minY = r.maxY = y;
    traceContour(recordOutlineVertex, map, x, y, &r);
    cvEndWriteSeq(&writer);

    if (rect != nullptr) {
        // Extents, not pixel counts; copied bytewise since rect may point
        // into a packed record.
        const int values[4] = {r.minX, r.minY, r.maxX - r.minX,
                               r.maxY - r.minY};
        std::memcpy(rect, values, sizeof(values));
    }
}

bool markOutlinePoint(int x, int y, int label, int direction, void* record)
{
    (void)label;
    (void)direction;
    OutlineMarker* k = static_cast<OutlineMarker*>(record);
    assert(x >= 0 && y >= 0 && x < k->target->cols && y < k->target->rows);
    extendBox(k->boxMin, k->boxMax, x, y);
    unsigned short* data =
        reinterpret_cast<unsigned short*>(k->target->data.ptr);
    data[y * k->target->cols + x] = k->label;
    return true;
}

void markOutline(const CvMat* walkMap, CvMat* target, int x, int y, int label,
                 int* boxMin, int* boxMax)
{
    const int type = CV_MAT_TYPE(target->type);
    if (type != CV_16UC1 && type != CV_16SC1)
        return;
    boxMin[0] = boxMax[0] = x;
    boxMin[1] = boxMax[1] = y;
    OutlineMarker k;
    k.target = target;
    k.label = static_cast<unsigned short>(label);
    k.boxMin = boxMin;
    k.boxMax = boxMax;
    traceContour(markOutlinePoint, walkMap, x, y, &k);
}
