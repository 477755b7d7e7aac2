// Point velocities of the refined mode: the engine's search, optionally
// started from a coarse-to-fine estimate, finished by a walk on whole
// pixels and optionally by sub-pixel interpolation.
#ifndef OF_ULK_REFINED_MOTION_H
#define OF_ULK_REFINED_MOTION_H

#include <vector>

#include <opencv2/core/types.hpp>

#include "cvoptflowulk.h"
#include "refine_coarse_to_fine.h"

// Velocity of one tracking point with its fraction of a pixel.
struct PointVelocity {
    cv::Point2f velocity; // (0, 0) when not valid
    bool valid;
};

// Gives every point of the sequence, in order, its velocity under the
// refinements in flags (CV_ULK_REFINE_COARSE_TO_FINE and
// CV_ULK_REFINE_SUBPIXEL; other bits are ignored) and writes the rounded
// velocity and the valid flag into the TrackPoint as well.
void estimateRefinedMotion(CvSeq* trackPoints, const MatchPyramid& pyramid,
                           int flags, std::vector<PointVelocity>* velocities);

#endif
