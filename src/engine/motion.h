// Tracking-point motion estimation by matching window descriptors.
#ifndef OF_ULK_MOTION_H
#define OF_ULK_MOTION_H

#include <cstdint>

#include "cvoptflowulk.h"
#include "engine/segment_outline.h"
#include "engine/track_point_index.h"

#include <vector>

namespace ulk {

const int kGridCols = 3; // contrast cells across the window
const int kGridRows = 3; // contrast cells down the window
const int kCellWidth = 32 / (kGridCols + 1);
const int kCellHeight = 32 / (kGridRows + 1);
const int kDescriptorLength = 2 * kGridCols * kGridRows;

// Contrast of two box sums: 0 when both are 0, else +-(32767 - n*32767/m)
// with m the larger and n the smaller, positive when p > q.
short boxContrast(int p, int q);

// The 18 contrast values of the 32 x 32 window with top-left pixel (x0, y0)
// of the image whose integral image (CV_32SC1, one row and column more than
// the image) is given.
void windowDescriptor(const CvMat* integral, int x0, int y0,
                      short descriptor[kDescriptorLength]);

// Sum of absolute differences of two descriptors.
uint64_t descriptorCost(const short* a, const short* b);

// Gives one point its whole-pixel velocity from srcA to srcB, or rejects it;
// width and height are those of the frames.
void estimatePointMotion(TrackPoint* point, const CvMat* integralA,
                         const CvMat* integralB, int width, int height);

// estimatePointMotion with the descriptors made and compared with AVX2;
// only where the processor has it. estimatePointMotion calls it on the
// AVX2 and AVX-512 paths.
void estimatePointMotionAvx2(TrackPoint* point, const CvMat* integralA,
                             const CvMat* integralB, int width, int height);

// boxContrast of eight pairs of sums from 0 to 65535 at once, with AVX2;
// only where the processor has it.
void boxContrastsAvx2(const int* p, const int* q, short* contrast);

// estimatePointMotion for every point of the sequence, in order, but those
// that measured (one entry per point) marks as given their motion already.
void estimateMotion(CvSeq* trackPoints, const CvMat* integralA,
                    const CvMat* integralB, int width, int height,
                    const std::vector<unsigned char>* measured = nullptr);

// The vertices measured by estimateVertexMotion so far, with the index of
// the segment whose outline each came from, by position number.
struct MeasuredVertices {
    MeasuredVertices(int cols, int rows) : positions(cols, rows) {}
    TrackPointIndex positions;
    std::vector<int> segment;
};

// The motion of a tracking point at each vertex of the outline of segment
// `segment`, into its motion, but at vertices within reach of a vertex
// measured before for this segment or an earlier one: the tracking points
// are made in segment order, so those will most likely share an earlier
// point. A vertex near the measured ones of later segments only (walked
// first, as the segmentation left them sooner) is measured: its point most
// likely comes first. The vertices measured join `near`.
void estimateVertexMotion(SegmentOutline* outline, int segment,
                          const CvMat* integralA, const CvMat* integralB,
                          int width, int height, MeasuredVertices* near);

} // namespace ulk

#endif
