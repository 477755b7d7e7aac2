// The engine run of the refined mode.
#ifndef OF_ULK_REFINED_ENGINE_H
#define OF_ULK_REFINED_ENGINE_H

#include "cvoptflowulk.h"

namespace ulk {

// Runs the engine's stages with the refinements in flags (a non-zero
// combination of CV_ULK_REFINE_* values) on validated arguments. Failures
// of library calls are raised by the library after the call's scratch
// objects have been released.
void calcOpticalFlowULKRefined(const CvMat* srcA, const CvMat* srcB,
                               CvMat* velx, CvMat* vely, CvMemStorage* storage,
                               StuffInfo* stuffInfo, int flags);

} // namespace ulk

#endif
