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
// Levels of the variational refinement, when it runs.
struct VariationalPlan {
    bool run = false;
    int coarsest = 0;
    int finest = 0;
};

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
// out before the variational refinement, which starts from an area-averaged
// reduction of the field that smooths it anyway.
void completeRefinedRun(FlowWork* work, const FramePyramid& frames,
                        const VariationalPlan& plan, CvMat* velx, CvMat* vely,
                        StuffInfo* stuffInfo, int flags)
{
    if (flags & CV_ULK_REFINE_SEGMENT_SMOOTH) {
        smoothWithinSegments(&work->labelMap, velx, vely);
    } else if (!plan.run) {
        smoothVelocityMaps(velx, vely);
    }
    if (plan.run)
        refineVariational(frames, plan.coarsest, plan.finest, velx, vely);
    handOverResults(work, stuffInfo);
}

} // namespace

void calcOpticalFlowULKRefined(const CvMat* srcA, const CvMat* srcB,
                               CvMat* velx, CvMat* vely, CvMemStorage* storage,
                               StuffInfo* stuffInfo, int flags)
{
    // As in the default run, a failure has no working object to free; the
    // reduced frames are the pyramid's own.
    FlowWork work;
    runFrontStages(srcA, srcB, storage, stuffInfo != nullptr, &work);
    VariationalPlan plan;
    if (flags & CV_ULK_REFINE_VARIATIONAL)
        plan.run = variationalLevels(srcA->cols, srcA->rows, &plan.coarsest,
                                     &plan.finest);
    FramePyramid frames;
    frames.build(
        srcA, srcB,
        std::max(plan.run ? plan.coarsest + 1 : 1,
                 (flags & CV_ULK_REFINE_COARSE_TO_FINE) ? kMatchLevels : 1));
    fillRefinedField(&work, frames, velx, vely, stuffInfo != nullptr, flags);
    completeRefinedRun(&work, frames, plan, velx, vely, stuffInfo, flags);
}

} // namespace ulk
