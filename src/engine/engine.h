// The engine behind cvCalcOpticalFlowULK and the working objects that its
// stages share within one call.
#ifndef OF_ULK_ENGINE_H
#define OF_ULK_ENGINE_H

#include "cvoptflowulk.h"

#include <vector>

namespace ulk {

// Working objects of one engine call, taken by the preprocessing stage
// (mostly from the thread's work buffers) and let go at the end of the call
// (or when a library error unwinds it).
struct FlowWork {
    CvMat* workImage = nullptr; // preprocessed copy of srcB, CV_8UC1
    CvMat* integralA = nullptr; // integral image of srcA, CV_32SC1
    CvMat* integralB = nullptr; // integral image of srcB, CV_32SC1
    CvMat labelMap;             // CV_16UC1 header over labelData
    // CV_16UC1 header over markData: the fills' marks during the
    // segmentation, the neighbour masks of the outline walks after it.
    CvMat markMap;
    unsigned short* labelData = nullptr;
    unsigned short* markData = nullptr;
    CvSeq* segments = nullptr;    // SegmentRecord elements
    CvSeq* trackPoints = nullptr; // TrackPoint elements
    // By point index: the point's motion was measured beside the
    // segmentation, so the motion stage leaves it as it is.
    std::vector<unsigned char> pointMeasured;
};

// Runs the stages on validated arguments: preprocessing, segmentation,
// outlines and tracking points, point motion, dense field and completion.
// Failures of library calls are raised by the library, after the call's
// scratch objects have been released.
void calcOpticalFlowULK(const CvMat* srcA, const CvMat* srcB, CvMat* velx,
                        CvMat* vely, CvMemStorage* storage,
                        StuffInfo* stuffInfo);

// The stages up to the tracking points: the working objects, preprocessing,
// level quantisation, segmentation, and the outlines with their tracking
// points (their velocities still unset).
void runFrontStages(const CvMat* srcA, const CvMat* srcB, CvMemStorage* storage,
                    bool withStuffInfo, FlowWork* work);

// The engine's Gaussian over both velocity maps, in place.
void smoothVelocityMaps(CvMat* velx, CvMat* vely);

// With a StuffInfo, hands it the label map, the segments and the tracking
// points, then lets go of the working objects. The StuffInfo is written
// last, so that a failure before leaves it as it was.
void handOverResults(FlowWork* work, StuffInfo* stuffInfo);

// Engine stages that can be timed (see stage_timing.h).
enum EngineStage {
    kStagePreprocess = 0,
    kStageSegmentation,
    kStageTrackPoints,
    kStageMotion,
    kStageDenseField,
    kStageSmoothing,
    kStageCount
};

} // namespace ulk

#endif
