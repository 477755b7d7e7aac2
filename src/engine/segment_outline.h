// A segment's outline as the tracking points need it: walked on the label
// map and simplified to a polygon.
#ifndef OF_ULK_SEGMENT_OUTLINE_H
#define OF_ULK_SEGMENT_OUTLINE_H

#include "cvoptflowulk.h"

#include <vector>

namespace ulk {

// Douglas-Peucker accuracy of the outline polygons, in pixels.
const double kPolygonAccuracy = 10.0;

// The velocity that the motion stage gives a tracking point at a position,
// when measured.
struct PointMotion {
    int vx, vy;
    unsigned char valid;
    bool measured;
};

// One segment's outline, simplified: its rectangle (least x, least y,
// width, height of the walked points) and its polygon's vertices in order;
// with the motion of a tracking point at each vertex when that was
// measured beside the segmentation, else no motion.
struct SegmentOutline {
    int rect[4];
    std::vector<CvPoint> vertices;
    std::vector<PointMotion> motion;
};

// The outlines of one call's segments, by segment index, and which of them
// have been walked.
struct SegmentOutlines {
    std::vector<SegmentOutline> outline;
    std::vector<unsigned char> walked;
};

// Walks the outline of the region of labelMap that holds (x, y) and
// simplifies it into *out. The walk and the polygon live in scratch, which
// is emptied before returning; the result does not depend on where they
// lie. masks, when given, are labelMap's neighbour masks for the walk.
void outlineSegment(const CvMat* labelMap, int x, int y, CvMemStorage* scratch,
                    SegmentOutline* out, const unsigned char* masks = nullptr);

} // namespace ulk

#endif
