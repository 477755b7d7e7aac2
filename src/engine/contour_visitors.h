// ContourFunc visitors that the engine hands to the contour follower.
#ifndef OF_ULK_CONTOUR_VISITORS_H
#define OF_ULK_CONTOUR_VISITORS_H

#include "cvoptflowulk.h"

#include <cstddef>
#include <vector>

namespace ulk {

// measureSegmentPoint stops the walk after this many points.
const int kMeasureLimit = 141;

// Measures a region: its outline length (capped), box and the neighbouring
// value of most similar grey.
struct SegmentMeasure {
    const CvMat* map;
    const unsigned char* grey; // row length = map->cols
    int bestLabel;
    int bestDiff;
    int count;
    int* boxMin; // least x, least y
    int* boxMax; // greatest x, greatest y
};

bool measureSegmentPoint(int x, int y, int label, int direction, void* record);

// Where a walk stands: its start, the point before and the point it stands
// on, and its direction state. A walk goes on from here as it would have.
struct WalkState {
    CvPoint start;
    CvPoint previous;
    CvPoint point;
    int direction;
};

// The measuring walk of the region at (x, y) of m->map, with m filled by
// the caller: the same as traceContour(measureSegmentPoint, m->map, x, y, m),
// with typed reads when the map is 16-bit. With points non-null (room for
// kMeasureLimit points) it also keeps the reported points, in walking order,
// up to the limit: for a walk that ended by itself (count <= kMeasureLimit)
// that is the whole outline. With cut non-null and a 16-bit map, a walk that
// the limit cut short (count > kMeasureLimit) leaves there where it stood:
// on the point after the kept ones, which the measure turned away.
void measureRegion(SegmentMeasure* m, int x, int y, CvPoint* points = nullptr,
                   WalkState* cut = nullptr);

// Records the outline's corner points: the first reported point, then every
// point after which the direction changes, in points[0..count). The buffer
// grows as needed and always has a slot past the recorded points.
struct OutlineRecorder {
    unsigned char first;
    int lastX, lastY;
    int lastDir;
    std::vector<CvPoint>* points;
    size_t count;
    int minX, minY, maxX, maxY; // box of all reported points
};

bool recordOutlineVertex(int x, int y, int label, int direction, void* record);

// Walks the region of map at (x, y) and fills *outline (created in storage
// when null, else cleared) with its corner points; with rect non-null writes
// (least x, least y, width, height) of all walked points into rect[0..3].
// With masks non-null, map is a 16-bit map and masks hold its neighbour
// masks (Label16Reader::neighbourMasks), which the walk then reads.
void extractOutline(const CvMat* map, int x, int y, CvMemStorage* storage,
                    CvSeq** outline, int* rect,
                    const unsigned char* masks = nullptr);

// Hands back the calling thread's buffer of extractOutline, which keeps the
// room of the longest outline it recorded; the next outline makes a new one.
void releaseOutlineCorners();

// Extends the box (least x and y in boxMin, greatest in boxMax) by count
// points.
void extendBox(const CvPoint* points, size_t count, int* boxMin, int* boxMax);
// extendBox with AVX2; only where the processor has it.
void extendBoxAvx2(const CvPoint* points, size_t count, int* boxMin,
                   int* boxMax);

// Writes label into the continuous 16-bit target at each of count points.
void markPoints(CvMat* target, const CvPoint* points, size_t count, int label);

// Walks the region of walkMap at (x, y), then writes label into target at
// every reported point, recomputing the box from (x, y); walkMap may be
// target itself. With points non-null, stores the number of reported
// points there. Does nothing for a target that is not CV_16UC1 or
// CV_16SC1.
void markOutline(const CvMat* walkMap, CvMat* target, int x, int y, int label,
                 int* boxMin, int* boxMax, int* points = nullptr);

// Goes on with a walk of the 16-bit map that stands at `from` (a point not
// yet reported): appends that point and the rest of the outline, in
// walking order, to *points. map must hold what it held when the walk
// began.
void restOfOutline(const CvMat* map, const WalkState& from,
                   std::vector<CvPoint>* points);

} // namespace ulk

#endif
