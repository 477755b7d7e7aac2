// Variational refinement of the dense field with OpenCV's own solver, coarse
// to fine on a pyramid of its own, with the engine's field offered on the
// coarse levels.
#ifndef OF_ULK_REFINE_VARIATIONAL_H
#define OF_ULK_REFINE_VARIATIONAL_H

#include <opencv2/core.hpp>

#include <vector>

#include "cvoptflowulk.h"

namespace ulk {

// Sizes of the variational pyramid's levels for frames of this size under
// params (see CvULKRefineParams), finest first: finestScale times the
// frame, then each level pyramidScale times the one before it (rounded,
// at least one pixel) for as long as the shorter side keeps coarsestSide
// pixels. A finest level below coarsestSide gives the frame's own size as
// the one level; frames below coarsestSide give none.
std::vector<cv::Size> variationalLevelSizes(int width, int height,
                                            const CvULKRefineParams& params);

// The share of the pyramid's own warp error below which the engine's field
// takes a pixel: on a repetitive texture a match one period away warps
// about as well as the true one, and the pyramid's coarse-to-fine field is
// the one to keep there. Chosen with the settings (see docs/performance.md).
const double kFuseMargin = 0.5;

// Refines u and v (CV_32FC1, the frames' size) in place: from no motion on
// the coarsest level, every level up to the finest one runs the solver on
// the field enlarged from the level below, after each pixel of a level no
// larger than params.fuseScale times the frames has taken the engine's
// field (u and v as they come in, reduced) where that field's local warp
// error is below fuseMargin times the pyramid's (fuseByWarpError). With
// engineField false the incoming u and v are not read (a start from no motion
// throughout). The finest level's field is enlarged to full size and
// belongs to the older frame's pixels.
void refineVariational(const cv::Mat& older, const cv::Mat& newer,
                       const CvULKRefineParams& params, bool engineField,
                       cv::Mat& u, cv::Mat& v, double fuseMargin = kFuseMargin);

// Per pixel, where the candidate field (candU, candV) moves newer onto
// older with an error below fuseMargin times that of (u, v), both summed
// over a small window around the pixel, (u, v) takes the candidate's
// value. All fields CV_32FC1 of the frames' size. Returns the number of
// pixels that took the candidate.
int fuseByWarpError(const cv::Mat& older, const cv::Mat& newer,
                    const cv::Mat& candU, const cv::Mat& candV, cv::Mat& u,
                    cv::Mat& v, double fuseMargin = kFuseMargin);

// Hands back the solvers that the variational refinement keeps for the
// calling thread (see refineVariational).
void releaseVariationalSolvers();

} // namespace ulk

#endif
