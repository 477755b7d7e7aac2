// The refined engine run: the engine's preprocessing, segmentation and
// tracking points, then the refined point motion, the engine's dense field
// from the refined velocities, the chosen smoothing and the variational
// refinement.
#include "refine/refined_engine.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/dense_field.h"
#include "engine/engine.h"
#include "engine/motion.h"
#include "engine/preprocess.h"
#include "refine/coarse_to_fine.h"
#include "refine/frame_pyramid.h"
#include "refine/point_motion.h"
#include "refine/segment_smoothing.h"
#include "refine/variational.h"

namespace ulk {

namespace {

// The dense field takes whole-pixel velocities; fractional ones enter it
// multiplied by this power of two and the field is divided by it after,
// which its linear weights allow (1/64 pixel steps).
const int kVelocityScale = 64;
// Point velocities, then the engine's dense field from them. With
// fractional velocities the points carry them scaled while the field is
// filled and their rounded velocities again afterwards.
void fillRefinedField(FlowWork* work, const FramePyramid& frames, CvMat* velx,
                      CvMat* vely, bool withStuffInfo, int flags)
{
    const int motionFlags =
        flags & (CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL);
    std::vector<PointVelocity> velocities;
    if (motionFlags) {
        MatchPyramid pyramid;
        pyramid.build(frames, work->integralA, work->integralB);
        estimateRefinedMotion(work->trackPoints, pyramid, motionFlags,
                              &velocities);
    } else {
        estimateMotion(work->trackPoints, work->integralA, work->integralB,
                       frames.older(0).cols, frames.older(0).rows,
                       &work->pointMeasured);
    }

    const bool scaled = (motionFlags & CV_ULK_REFINE_SUBPIXEL) != 0;
    CvSeqReader reader;
    if (scaled) {
        cvStartReadSeq(work->trackPoints, &reader, 0);
        for (const PointVelocity& velocity : velocities) {
            TrackPoint* point = reinterpret_cast<TrackPoint*>(reader.ptr);
            point->vx = int(std::lround(velocity.velocity.x * kVelocityScale));
            point->vy = int(std::lround(velocity.velocity.y * kVelocityScale));
            CV_NEXT_SEQ_ELEM(work->trackPoints->elem_size, reader);
        }
    }
    fillDenseField(work->segments, &work->labelMap,
                   withStuffInfo ? work->workImage : nullptr, velx, vely,
                   OtherPixels::Zero);
    if (scaled) {
        cvScale(velx, velx, 1.0 / kVelocityScale, 0.0);
        cvScale(vely, vely, 1.0 / kVelocityScale, 0.0);
        cvStartReadSeq(work->trackPoints, &reader, 0);
        for (const PointVelocity& velocity : velocities) {
            TrackPoint* point = reinterpret_cast<TrackPoint*>(reader.ptr);
            point->vx = int(std::lround(velocity.velocity.x));
            point->vy = int(std::lround(velocity.velocity.y));
            CV_NEXT_SEQ_ELEM(work->trackPoints->elem_size, reader);
        }
    }
}

// The engine's completion with the refined smoothing and the variational
// refinement; the StuffInfo is written last. The engine's Gaussian is left
// out before the variational refinement, which offers the engine's field
// only reduced by area averaging, and that smooths it anyway.
void completeRefinedRun(FlowWork* work, const CvMat* srcA, const CvMat* srcB,
                        const CvULKRefineParams& params, CvMat* velx,
                        CvMat* vely, StuffInfo* stuffInfo)
{
    const bool variational = (params.flags & CV_ULK_REFINE_VARIATIONAL) != 0;
    if (params.flags & CV_ULK_REFINE_SEGMENT_SMOOTH) {
        smoothWithinSegments(&work->labelMap, velx, vely);
    } else if (!variational) {
        smoothVelocityMaps(velx, vely);
    }
    if (variational) {
        cv::Mat u = cv::cvarrToMat(velx), v = cv::cvarrToMat(vely);
        refineVariational(cv::cvarrToMat(srcA), cv::cvarrToMat(srcB), params,
                          true, u, v);
    }
    handOverResults(work, stuffInfo);
}

} // namespace

void calcOpticalFlowULKRefined(const CvMat* srcA, const CvMat* srcB,
                               CvMat* velx, CvMat* vely, CvMemStorage* storage,
                               StuffInfo* stuffInfo,
                               const CvULKRefineParams& params)
{
    // As in the default run, a failure has no working object to free; the
    // reduced frames are the pyramids' own.
    FlowWork work;
    runFrontStages(srcA, srcB, storage, stuffInfo != nullptr, &work);
    FramePyramid frames;
    frames.build(srcA, srcB,
                 (params.flags & CV_ULK_REFINE_COARSE_TO_FINE) ? kMatchLevels
                                                               : 1);
    fillRefinedField(&work, frames, velx, vely, stuffInfo != nullptr,
                     params.flags);
    completeRefinedRun(&work, srcA, srcB, params, velx, vely, stuffInfo);
}

void refinedEngineField(const CvMat* srcA, const CvMat* srcB, CvMat* velx,
                        CvMat* vely, CvMemStorage* storage, int flags)
{
    FlowWork work;
    runFrontStages(srcA, srcB, storage, false, &work);
    FramePyramid frames;
    frames.build(srcA, srcB,
                 (flags & CV_ULK_REFINE_COARSE_TO_FINE) ? kMatchLevels : 1);
    fillRefinedField(&work, frames, velx, vely, false, flags);
    handOverResults(&work, nullptr);
}

} // namespace ulk
