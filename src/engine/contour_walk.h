// Contour follower: walks the outline of a region of a label map.
#ifndef OF_ULK_CONTOUR_WALK_H
#define OF_ULK_CONTOUR_WALK_H

#include "cvoptflowulk.h"

namespace ulk {

// Direction codes; 8 and 9 are states, not directions.
enum ContourDirection {
    kDirLeft = 0,
    kDirUpLeft = 1,
    kDirUp = 2,
    kDirUpRight = 3,
    kDirRight = 4,
    kDirDownRight = 5,
    kDirDown = 6,
    kDirDownLeft = 7,
    kDirPivot = 8, // a pivot step is pending
    kDirNone = 9   // no direction: search anew
};

// Offsets of the eight neighbours, indexed by direction code.
inline constexpr int kContourDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
inline constexpr int kContourDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

// Neighbour of p in direction d (0..7).
CvPoint neighbourOf(CvPoint p, int d);

// One step attempt from *p, a pixel that holds label, in direction *d; may
// move *p and sets *d, and for a pending pivot (*d == kDirPivot) the pivot
// pixel *q and direction *e.
bool contourStep(const CvMat* map, CvPoint* p, int label, int* d, CvPoint* q,
                 int* e);

// The boundary pixel after p0, a pixel that holds label (or any pixel when
// label is 0); updates *d.
CvPoint nextContourPoint(const CvMat* map, CvPoint p0, int label, int* d);

// The walker behind cvDoForEachContourPoint, without pointer checks; the
// map may have any row step.
bool traceContour(ContourFunc func, const CvMat* map, int x, int y,
                  void* userData);

// Walks the region of the map that holds the value at (x, y) and calls
// visit(x, y, label, direction) for every step, exactly as traceContour
// calls its ContourFunc, and returns what traceContour returns. On a
// 16-bit map, which must then be continuous (as the engine's maps are), the
// walk reads the map directly (typed reads); masks, when given, are the
// map's neighbour masks as it stands (Label16Reader::neighbourMasks), which
// each step then loads instead of gathering eight neighbours; a walk on
// stale masks need not end.
template <class Visit>
bool followContourOn(const CvMat* map, int x, int y, Visit&& visit,
                     const unsigned char* masks = nullptr);

} // namespace ulk

// The readers, the step tables and the walkers behind these functions.
#include "engine/contour_walkers.h"

#endif
