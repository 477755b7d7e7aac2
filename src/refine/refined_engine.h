// The engine run of the refined mode.
#ifndef OF_ULK_REFINED_ENGINE_H
#define OF_ULK_REFINED_ENGINE_H

#include "cvoptflowulk.h"

namespace ulk {

// Runs the engine's stages with the refinements of params (flags a non-zero
// combination of CV_ULK_REFINE_* values) on validated arguments. Failures
// of library calls are raised by the library after the call's scratch
// objects have been released.
void calcOpticalFlowULKRefined(const CvMat* srcA, const CvMat* srcB,
                               CvMat* velx, CvMat* vely, CvMemStorage* storage,
                               StuffInfo* stuffInfo,
                               const CvULKRefineParams& params);

// The field that the refined mode hands to its smoothing and variational
// refinement: the point motion under flags (its CV_ULK_REFINE_COARSE_TO_FINE
// and CV_ULK_REFINE_SUBPIXEL bits) and the engine's dense field from it,
// pixels of no segment 0. For the measuring tools, which refine one such
// field under many settings.
void refinedEngineField(const CvMat* srcA, const CvMat* srcB, CvMat* velx,
                        CvMat* vely, CvMemStorage* storage, int flags);

} // namespace ulk

#endif
