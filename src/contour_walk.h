// Contour follower: walks the outline of a region of a label map.
#ifndef OF_ULK_CONTOUR_WALK_H
#define OF_ULK_CONTOUR_WALK_H

#include "cvoptflowulk.h"

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
    kDirPivot = 8,  // a pivot step is pending
    kDirNone = 9    // no direction: search anew
};

// Neighbour of p in direction d (0..7).
CvPoint neighbourOf(CvPoint p, int d);

// True when exactly one of p and its neighbour in direction d holds label.
bool crossesEdge(const CvMat* map, CvPoint p, int label, int d);

// Turns *e 90 degrees left when that direction crosses the edge at p.
bool turnLeftIfEdge(const CvMat* map, CvPoint p, int label, int* e);

// One step attempt from *p in direction *d; may move *p and sets *d, and
// for a pending pivot (*d == kDirPivot) the pivot pixel *q and direction *e.
bool contourStep(const CvMat* map, CvPoint* p, int label, int* d, CvPoint* q,
                 int* e);

// The boundary pixel after p0; updates *d.
CvPoint nextContourPoint(const CvMat* map, CvPoint p0, int label, int* d);

// The walker behind cvDoForEachContourPoint, without pointer checks.
bool traceContour(ContourFunc func, const CvMat* map, int x, int y,
                  void* userData);

#endif
