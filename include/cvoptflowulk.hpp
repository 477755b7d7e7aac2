// cvoptflowulk for C++: the engine as a cv::DenseOpticalFlow.
//
// OpenCV code that computes dense flow is written against
// cv::DenseOpticalFlow; this header makes the engine one more method to
// create. The factories live in cv::optflow, beside OpenCV's other
// createOptFlow_* factories, so that switching methods changes one name:
//
//     cv::Ptr<cv::DenseOpticalFlow> of = cv::optflow::createOptFlow_ULK();
//     of->calc(previousFrame, frame, flow); // flow: H x W CV_32FC2
//
// The results are those of cvCalcOpticalFlowULK (cvoptflowulk.h) byte for
// byte; after setRefinements(CV_ULK_REFINED_DEFAULT) those of the refined
// mode, cvCalcOpticalFlowULKRefined, and after setRefineParams() those of
// cvCalcOpticalFlowULKRefinedEx with the record. An object serves one call at a
// time (see calc()); make one per thread, and objects of different threads
// compute in parallel.
#ifndef CVOPTFLOWULK_HPP
#define CVOPTFLOWULK_HPP

#include "cvoptflowulk.h"

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

namespace cv {
namespace optflow {

// The engine with its memory storage, grey frames and velocity maps, kept
// across calls and reallocated only when the frame size changes.
class CV_EXPORTS OptFlowULK : public DenseOpticalFlow {
  public:
    // Computes the flow from I0 (older) to I1 (newer) into flow, a new or
    // reused H x W CV_32FC2 array of (x, y) velocities in pixels. The frames
    // are 8-bit, of equal size and type, with 1 channel (grey), 3 (BGR) or
    // 4 (BGRA); colour frames are turned grey as the viewer does it. A bad
    // argument raises cv::Exception with the C API's status: CV_StsNullPtr
    // (an empty frame), CV_StsUnmatchedFormats, CV_StsUnmatchedSizes,
    // CV_StsUnsupportedFormat, in this order; the engine's own failures
    // arrive as the cv::Exception that cvCalcOpticalFlowULK raised. Once
    // the frames pass, the call holds the object until it returns: a
    // calc(), calcWithStuffInfo() or collectGarbage() that starts on
    // another thread meanwhile raises CV_StsBadArg ("the object is in use
    // by another call") and changes nothing. setRefinements() may be
    // called at any time; a call takes the flags as they are when it runs.
    void calc(InputArray I0, InputArray I1, InputOutputArray flow) override = 0;

    // Like calc(), and also returns what the call found: the IdxMap, the
    // segments and the tracking points. The record and everything it points
    // to are owned by the object and stay valid until its next call,
    // collectGarbage() or its destruction.
    virtual const StuffInfo& calcWithStuffInfo(InputArray I0, InputArray I1,
                                               InputOutputArray flow) = 0;

    // Releases the storage and every buffer, the working buffers that the
    // library keeps for the calling thread included
    // (cvReleaseOpticalFlowULKBuffers); the next call makes new ones. The
    // refinements stay as they were set.
    void collectGarbage() override = 0;

    // Selects the refinements of the following calls: a combination of the
    // CV_ULK_REFINE_* flags, which calc() and calcWithStuffInfo() hand to
    // cvCalcOpticalFlowULKRefined. CV_ULK_REFINED_DEFAULT is the refined mode
    // of the programs (of_ulk /hq, of_ulk_export --refined); 0, the value of
    // a new object, calls cvCalcOpticalFlowULK and gives its bytes. The
    // setter takes flags rather than an on/off switch so that every
    // combination the C entry offers is reachable from C++ as well. A bit
    // outside CV_ULK_REFINE_ALL raises cv::Exception with CV_StsOutOfRange
    // ("Unknown refinement flags") and keeps the previous value.
    virtual void setRefinements(int flags) = 0;
    // The refinements of the following calls, 0 for none.
    virtual int getRefinements() const = 0;

    // Selects every setting of the refined mode for the following calls
    // (see CvULKRefineParams), which calc() and calcWithStuffInfo() hand to
    // cvCalcOpticalFlowULKRefinedEx; params.flags replaces the refinements.
    // Start from cvULKRefineParams() or getRefineParams(). A field out of
    // its range raises cv::Exception with the status and message of
    // cvCalcOpticalFlowULKRefinedEx, fields checked in the record's order,
    // and keeps the previous settings. A new object holds
    // cvULKRefineParams() with flags 0; setRefinements() changes the flags
    // only.
    virtual void setRefineParams(const CvULKRefineParams& params) = 0;
    // The settings of the following calls.
    virtual CvULKRefineParams getRefineParams() const = 0;

    static Ptr<OptFlowULK> create();
};

// The engine as a cv::DenseOpticalFlow, the way OpenCV's factories give
// their methods.
CV_EXPORTS Ptr<DenseOpticalFlow> createOptFlow_ULK();

} // namespace optflow
} // namespace cv

#endif
