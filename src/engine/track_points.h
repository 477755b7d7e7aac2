// Segment outlines and tracking points.
#ifndef OF_ULK_TRACK_POINTS_H
#define OF_ULK_TRACK_POINTS_H

#include "cvoptflowulk.h"
#include "engine/segment_outline.h"

#include <vector>

namespace ulk {

// For every segment in order: walks its outline on labelMap, writes its
// rectangle, simplifies the outline to a polygon and turns each vertex into
// a reference to the earliest tracking point within 8 pixels, creating the
// point when there is none. The tracking points and the point lists live in
// their sequences' storage; the outlines and polygons are scratch of the
// call (the walks of different segments run in parallel), so storage itself
// is not used. Outlines that ready marks as walked are taken from it
// instead of being walked again; a point made at a vertex whose motion
// came with the outline takes that motion, and measured (when given) marks
// those points by point index. maskRoom, when given, is scratch of one byte
// per pixel of labelMap (16-bit): when no outline was walked before, the
// map's neighbour masks are made there first and the walks read them.
void buildTrackPoints(const CvMat* labelMap, CvSeq* segments,
                      CvSeq* trackPoints, CvMemStorage* storage,
                      SegmentOutlines* ready = nullptr,
                      std::vector<unsigned char>* measured = nullptr,
                      unsigned char* maskRoom = nullptr);

} // namespace ulk

#endif
