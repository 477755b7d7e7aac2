// Dense velocity field: spreads point velocities over each segment.
#ifndef OF_ULK_DENSE_FIELD_H
#define OF_ULK_DENSE_FIELD_H

#include "cvoptflowulk.h"

namespace ulk {

// What becomes of the pixels of no segment.
enum class OtherPixels { Keep, Zero };

// Writes velx and vely for the pixels of every segment from its valid
// tracking points (node grid of 8 pixels, bilinear in between). With a
// non-null workImage it also sets each record's pixelCount and meanGrey.
// Pixels of no segment are left as they are, or set to 0 with
// OtherPixels::Zero (each run of one label that no segment covers whole is
// cleared just before its segments write, which costs less than clearing
// both maps beforehand or whole rows).
void fillDenseField(CvSeq* segments, const CvMat* labelMap,
                    const CvMat* workImage, CvMat* velx, CvMat* vely,
                    OtherPixels others = OtherPixels::Keep);

} // namespace ulk

#endif
