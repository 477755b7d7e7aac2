// ContourFunc visitors of the engine: region measuring, outline recording
// and outline marking, with the drivers that run their walks.
#include "engine/contour_visitors.h"

#include "engine/contour_walk.h"
#include "engine/vector_paths.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

namespace ulk {

namespace {

// extractOutline's corner points, kept by each thread from one outline to
// the next.
thread_local std::vector<CvPoint> outlineCorners;

inline void extendBox(int* boxMin, int* boxMax, int x, int y)
{
    boxMin[0] = std::min(boxMin[0], x);
    boxMin[1] = std::min(boxMin[1], y);
    boxMax[0] = std::max(boxMax[0], x);
    boxMax[1] = std::max(boxMax[1], y);
}

// One step of the measuring walk; read gives the values of m->map.
template <class Reader>
bool measurePoint(SegmentMeasure* m, const Reader& read, int x, int y,
                  int label, int direction)
{
    const int n = m->count;
    m->count = n + 1;
    if (n >= kMeasureLimit)
        return false; // long enough: the count stays one past the limit

    extendBox(m->boxMin, m->boxMax, x, y);

    // The outside pixel on the left of the travel direction.
    int nx = x;
    int ny = y;
    int t = 0;
    if (direction != kDirNone) {
        const int left = (direction - 2) & 7;
        nx = x + kContourDx[left];
        ny = y + kContourDy[left];
        t = read(nx, ny);
    }
    // Without a usable left pixel, take the first neighbour (from below,
    // clockwise) that offers a new value.
    if (t == 0 || direction == kDirNone) {
        bool found = false;
        for (int i = 0; i < 8 && !found; ++i) {
            const int d = (i - 2) & 7;
            nx = x + kContourDx[d];
            ny = y + kContourDy[d];
            t = read(nx, ny);
            found = t != label && t != m->bestLabel;
        }
        if (!found)
            return true;
    }
    // Outside the map (0) is never chosen.
    if (t == 0)
        return true;

    // The known value again, or a value of no closer grey, changes nothing;
    // decided without a branch, as the outcome follows the texture.
    const int cols = m->map->cols;
    const int diff = static_cast<int>(m->grey[y * cols + x]) -
                     static_cast<int>(m->grey[ny * cols + nx]);
    const bool closer = t != m->bestLabel && diff * diff < m->bestDiff;
    m->bestDiff = closer ? diff * diff : m->bestDiff;
    m->bestLabel = closer ? t : m->bestLabel;
    return true;
}

// One step of the outline recording (see recordOutlineVertex). The point
// before the current one is stored at every step and kept by moving on only
// where the direction changes, as where the outline turns follows its shape.
inline bool recordVertex(OutlineRecorder* r, int x, int y, int direction)
{
    r->minX = std::min(r->minX, x);
    r->minY = std::min(r->minY, y);
    r->maxX = std::max(r->maxX, x);
    r->maxY = std::max(r->maxY, y);
    std::vector<CvPoint>& points = *r->points;
    if (r->count + 1 >= points.size())
        points.resize(std::max<size_t>(64, 2 * points.size()));
    if (r->first) {
        r->first = 0;
        points[r->count++] = cvPoint(x, y);
    } else {
        points[r->count] = cvPoint(r->lastX, r->lastY);
        r->count += size_t(direction != r->lastDir);
    }
    r->lastDir = direction;
    r->lastX = x;
    r->lastY = y;
    return true;
}

// The measuring walk on a 16-bit map: the steps of followContour and the
// measure of measurePoint in one loop, with the record's fields held in
// locals (the box pointers could alias them) and, away from the border, the
// left pixel read without a bounds test.
void measureOn16(SegmentMeasure* m, int x, int y, CvPoint* points,
                 WalkState* cut)
{
    const Label16Reader read(m->map);
    const short* data = reinterpret_cast<const short*>(m->map->data.ptr);
    const int cols = m->map->cols;
    const int label = read(x, y);

    const int firstCount = m->count;
    int count = firstCount;
    int bestLabel = m->bestLabel;
    int bestDiff = m->bestDiff;
    // The walk keeps its points; the box is made from them after it, so
    // that the steps carry less state.
    CvPoint ownPoints[kMeasureLimit];
    if (!points)
        points = ownPoints;

    // Element index offsets of the eight neighbours.
    std::ptrdiff_t offset[8];
    for (int d = 0; d < 8; ++d)
        offset[d] = std::ptrdiff_t(kContourDy[d]) * cols + kContourDx[d];

    // One reported point, whose element index is at; false when the
    // measure ends the walk.
    const auto visit = [&](int px, int py, std::ptrdiff_t at, int direction,
                           bool inner) {
        const int n = count++;
        if (n >= kMeasureLimit)
            return false;
        points[n] = cvPoint(px, py);

        // The neighbour in direction d and its element index, which is
        // that of the grey value too when the neighbour lies in the map
        // (the point is an interior one: the walker's own test, which is
        // made once for both).
        std::ptrdiff_t next = at;
        const auto valueAt = [&](int d) {
            next = at + offset[d];
            return inner ? int(data[next])
                         : read(px + kContourDx[d], py + kContourDy[d]);
        };
        int t = 0;
        if (direction != kDirNone)
            t = valueAt((direction - 2) & 7);
        if (t == 0 || direction == kDirNone) {
            bool found = false;
            for (int i = 0; i < 8 && !found; ++i) {
                t = valueAt((i - 2) & 7);
                found = t != label && t != bestLabel;
            }
            if (!found)
                return true;
        }
        // Outside the map (0) is never chosen.
        if (t == 0)
            return true;
        // Both tests are made, with no branch between them: whether the
        // value is new follows the outline.
        const int diff = int(m->grey[at]) - int(m->grey[next]);
        const bool closer = (t != bestLabel) & (diff * diff < bestDiff);
        // All ones when closer; the selects by arithmetic, so that the
        // compiler does not make a branch of them.
        const int take = -int(closer);
        bestDiff = (diff * diff & take) | (bestDiff & ~take);
        bestLabel = (t & take) | (bestLabel & ~take);
        return true;
    };

    // The walk, as followContour takes it.
    while (y > 0 && read(x, y - 1) == label)
        --y;
    const CvPoint start = cvPoint(x, y);
    IndexedWalker walker(read, label, start);
    int d = kDirNone;
    CvPoint previous = start;
    const std::ptrdiff_t startAt = walker.index();
    std::ptrdiff_t previousAt = startAt;
    walker.next(&d);
    CvPoint p = walker.point();
    bool inside = walker.interior();
    if (visit(p.x, p.y, walker.index(), d, inside)) {
        // Back at the start, or standing still: one element index each.
        while (walker.index() != startAt && walker.index() != previousAt) {
            previous = p;
            previousAt = walker.index();
            walker.next(&d, inside);
            p = walker.point();
            inside = walker.interior();
            if (!visit(p.x, p.y, walker.index(), d, inside))
                break;
        }
    }
    if (cut != nullptr && count > kMeasureLimit)
        *cut = WalkState{start, previous, p, d};

    if (firstCount < kMeasureLimit)
        ulk::extendBox(points + firstCount,
                       size_t(std::min(count, kMeasureLimit) - firstCount),
                       m->boxMin, m->boxMax);
    m->count = count;
    m->bestLabel = bestLabel;
    m->bestDiff = bestDiff;
}

} // namespace

bool measureSegmentPoint(int x, int y, int label, int direction, void* record)
{
    SegmentMeasure* m = static_cast<SegmentMeasure*>(record);
    return measurePoint(m, SegIndexReader(m->map), x, y, label, direction);
}

void measureRegion(SegmentMeasure* m, int x, int y, CvPoint* points,
                   WalkState* cut)
{
    // Keeps the points that the measure takes in (the first kMeasureLimit).
    const auto keep = [m, points](int px, int py) {
        if (points && m->count <= kMeasureLimit)
            points[m->count - 1] = cvPoint(px, py);
    };
    if (isLabel16Map(m->map)) {
        measureOn16(m, x, y, points, cut);
    } else {
        followContour(SegIndexReader(m->map), x, y,
                      [m, &keep](int px, int py, int l, int d) {
                          const bool goOn =
                              measureSegmentPoint(px, py, l, d, m);
                          keep(px, py);
                          return goOn;
                      });
    }
}

bool recordOutlineVertex(int x, int y, int label, int direction, void* record)
{
    (void)label;
    return recordVertex(static_cast<OutlineRecorder*>(record), x, y, direction);
}

void releaseOutlineCorners()
{
    std::vector<CvPoint>().swap(outlineCorners);
}

void extractOutline(const CvMat* map, int x, int y, CvMemStorage* storage,
                    CvSeq** outline, int* rect, const unsigned char* masks)
{
    // The caller's sequence is reused (it may have been swapped for another
    // since the last call) so that outlines do not pile up in the storage.
    if (*outline == nullptr)
        *outline = cvCreateSeq(CV_SEQ_POLYGON, sizeof(CvContour),
                               sizeof(CvPoint), storage);
    else
        cvClearSeq(*outline);

    // The corner points, gathered in the thread's buffer and appended at
    // once.
    std::vector<CvPoint>& corners = outlineCorners;
    OutlineRecorder r;
    r.first = 1;
    r.lastX = x;
    r.lastY = y;
    r.lastDir = kDirNone;
    r.points = &corners;
    r.count = 0;
    r.minX = r.maxX = x;
    r.minY = r.maxY = y;
    followContourOn(
        map, x, y,
        [&r](int px, int py, int, int dir) {
            return recordVertex(&r, px, py, dir);
        },
        masks);
    cvSeqPushMulti(*outline, corners.data(), int(r.count));

    if (rect != nullptr) {
        // Extents, not pixel counts; copied bytewise since rect may point
        // into a packed record.
        const int values[4] = {r.minX, r.minY, r.maxX - r.minX,
                               r.maxY - r.minY};
        std::memcpy(rect, values, sizeof(values));
    }
}

void extendBox(const CvPoint* points, size_t count, int* boxMin, int* boxMax)
{
#ifdef OF_ULK_ENGINE_X86
    if (activeVectorPath() >= VectorPath::Avx2) {
        extendBoxAvx2(points, count, boxMin, boxMax);
        return;
    }
#endif
    // In locals: the points could alias the box.
    int minX = boxMin[0], minY = boxMin[1];
    int maxX = boxMax[0], maxY = boxMax[1];
    for (size_t i = 0; i < count; ++i) {
        minX = std::min(minX, points[i].x);
        minY = std::min(minY, points[i].y);
        maxX = std::max(maxX, points[i].x);
        maxY = std::max(maxY, points[i].y);
    }
    boxMin[0] = minX;
    boxMin[1] = minY;
    boxMax[0] = maxX;
    boxMax[1] = maxY;
}

void markPoints(CvMat* target, const CvPoint* points, size_t count, int label)
{
    assert(isLabel16Map(target));
    unsigned short* data = reinterpret_cast<unsigned short*>(target->data.ptr);
    const size_t cols = size_t(target->cols);
    const unsigned short label16 = static_cast<unsigned short>(label);
    for (size_t i = 0; i < count; ++i) {
        assert(points[i].x >= 0 && points[i].y >= 0 &&
               points[i].x < target->cols && points[i].y < target->rows);
        data[size_t(points[i].y) * cols + size_t(points[i].x)] = label16;
    }
}

void markOutline(const CvMat* walkMap, CvMat* target, int x, int y, int label,
                 int* boxMin, int* boxMax, int* points)
{
    if (!isLabel16Map(target))
        return;
    // The whole walk first, so that the marks cannot turn it when walkMap
    // is target.
    std::vector<CvPoint> walked;
    followContourOn(walkMap, x, y, [&walked](int px, int py, int, int) {
        walked.push_back(cvPoint(px, py));
        return true;
    });
    boxMin[0] = boxMax[0] = x;
    boxMin[1] = boxMax[1] = y;
    extendBox(walked.data(), walked.size(), boxMin, boxMax);
    markPoints(target, walked.data(), walked.size(), label);
    if (points != nullptr)
        *points = int(walked.size());
}

void restOfOutline(const CvMat* map, const WalkState& from,
                   std::vector<CvPoint>* points)
{
    assert(isLabel16Map(map));
    const Label16Reader read(map);
    IndexedWalker walker(read, read(from.start.x, from.start.y), from.point);
    // The loop of followContour, entered just after a step.
    const CvPoint start = from.start;
    CvPoint previous = from.previous;
    CvPoint p = from.point;
    int d = from.direction;
    points->push_back(p);
    while (!samePoint(p, start) && !samePoint(p, previous)) {
        previous = p;
        walker.next(&d);
        p = walker.point();
        points->push_back(p);
    }
}

} // namespace ulk
