// Variational refinement of the dense field with OpenCV's own solver, from
// a coarse level of the frame pyramid to a finer one.
#ifndef OF_ULK_REFINE_VARIATIONAL_H
#define OF_ULK_REFINE_VARIATIONAL_H

#include <opencv2/core/types_c.h>

#include "refine/frame_pyramid.h"

namespace ulk {

// Levels of the frame pyramid to refine on, for frames of this size: from
// the smallest reduction whose shorter side still has 40 pixels (below
// that the smoothness term swamps the image) to half size, or to full size
// when half size is already too small. False when even the full frame is
// too small; the field is then left as it is.
bool variationalLevels(int width, int height, int* coarsest, int* finest);

// Refines velx and vely (CV_32FC1, the frames' size) in place: reduced to
// the coarsest level, then on every level up to the finest one the field
// is refined so that the older frame moved by it matches the newer one in
// brightness and gradient, with a smoothness term that keeps edges, and
// doubled onto the next level; the finest level's field is enlarged to full
// size. The pyramid must hold the coarsest level. The result belongs to the
// older frame's pixels.
void refineVariational(const FramePyramid& frames, int coarsest, int finest,
                       CvMat* velx, CvMat* vely);

} // namespace ulk

#endif
