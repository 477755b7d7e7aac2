// The engine run: the stages in order, then the hand-over of the results
// and the release of every scratch object.
#include "engine/engine.h"

#include <opencv2/imgproc/imgproc_c.h>

#include "engine/dense_field.h"
#include "engine/motion.h"
#include "engine/outline_overlap.h"
#include "engine/parallel_bands.h"
#include "engine/preprocess.h"
#include "engine/segmentation.h"
#include "engine/stage_timing.h"
#include "engine/track_points.h"
#include "engine/work_buffers.h"

#include <optional>

namespace ulk {

namespace {

// Gaussian that smooths both velocity maps at the end of the run.
const int kFieldSmoothSize = 7;
const double kFieldSmoothSigma = 7.0;

// Everything after the dense field: both maps smoothed, the label map
// handed over and the working objects let go.
void completeRun(FlowWork* work, CvMat* velx, CvMat* vely, StuffInfo* stuffInfo)
{
    {
        ULK_TIME_STAGE(kStageSmoothing);
        smoothVelocityMaps(velx, vely);
    }
    handOverResults(work, stuffInfo);
}

} // namespace

void runFrontStages(const CvMat* srcA, const CvMat* srcB, CvMemStorage* storage,
                    bool withStuffInfo, FlowWork* work)
{
    {
        ULK_TIME_STAGE(kStagePreprocess);
        createWorkObjects(srcA, storage, withStuffInfo, work);
        prepareWorkImage(srcB, work);
        quantiseLevels(work->workImage, &work->labelMap, &work->markMap);
    }
    // With more than one thread, the integral images (which only the
    // motion reads) and most outlines are made while the segmentation goes
    // on; the tracking points take the outlines in order after.
    SegmentOutlines outlines;
    {
        ULK_TIME_STAGE(kStageSegmentation);
        unsigned short* snapshot =
            cv::getNumThreads() > 1
                ? WorkBuffers::forFrame(srcA->rows, srcA->cols).snapshotData()
                : nullptr;
        BesideScan beside;
        beside.first = [srcA, srcB, work] {
            integrateFrames(srcA, srcB, work);
        };
        // The walks' own record of the vertices measured; only a call that
        // walks beside the scan needs it.
        std::optional<MeasuredVertices> measuredNear;
        if (snapshot) {
            measuredNear.emplace(srcA->cols, srcA->rows);
            beside.eachOutline = [srcA, work, &measuredNear](
                                     int segment, SegmentOutline* outline) {
                estimateVertexMotion(outline, segment, work->integralA,
                                     work->integralB, srcA->cols, srcA->rows,
                                     &*measuredNear);
            };
        }
        segmentWithOutlines(&work->labelMap, &work->markMap,
                            work->workImage->data.ptr, storage, work->segments,
                            snapshot, &outlines, beside);
    }
    {
        ULK_TIME_STAGE(kStageTrackPoints);
        // The mark map's room is free once the segmentation is done.
        buildTrackPoints(&work->labelMap, work->segments, work->trackPoints,
                         storage, &outlines, &work->pointMeasured,
                         reinterpret_cast<unsigned char*>(work->markData));
    }
}

void smoothVelocityMaps(CvMat* velx, CvMat* vely)
{
    // The two maps are smoothed side by side, each in place.
    CvMat* const maps[2] = {velx, vely};
    cv::parallel_for_(
        cv::Range(0, 2),
        [&maps](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i)
                cvSmooth(maps[i], maps[i], CV_GAUSSIAN, kFieldSmoothSize,
                         kFieldSmoothSize, kFieldSmoothSigma, 0.0);
        },
        stripeCount(2, 1));
}

void handOverResults(FlowWork* work, StuffInfo* stuffInfo)
{
    if (stuffInfo) {
        stuffInfo->idxMap = work->labelMap;
        stuffInfo->segments = work->segments;
        stuffInfo->trackPoints = work->trackPoints;
    }
    releaseWorkObjects(work);
}

void calcOpticalFlowULK(const CvMat* srcA, const CvMat* srcB, CvMat* velx,
                        CvMat* vely, CvMemStorage* storage,
                        StuffInfo* stuffInfo)
{
    // The working objects are the thread's work buffers and the storage's
    // blocks: a failure that unwinds the call has nothing to free.
    FlowWork work;
    runFrontStages(srcA, srcB, storage, stuffInfo != nullptr, &work);
    {
        ULK_TIME_STAGE(kStageMotion);
        estimateMotion(work.trackPoints, work.integralA, work.integralB,
                       srcA->cols, srcA->rows, &work.pointMeasured);
    }
    {
        ULK_TIME_STAGE(kStageDenseField);
        // Pixels of no segment enter the smoothing as 0, whatever the maps
        // held before the call.
        fillDenseField(work.segments, &work.labelMap,
                       stuffInfo ? work.workImage : nullptr, velx, vely,
                       OtherPixels::Zero);
    }
    completeRun(&work, velx, vely, stuffInfo);
}

} // namespace ulk
