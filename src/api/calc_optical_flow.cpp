// The flow entries cvCalcOpticalFlowULK and cvCalcOpticalFlowULKRefined:
// argument checks in their fixed order, the storage's claim, then the
// engine run.
#include "cvoptflowulk.h"

#include "api/errors.h"
#include "api/flow_arguments.h"
#include "engine/engine.h"
#include "engine/work_buffers.h"
#include "refine/refined_engine.h"

using ulk::FlowArguments;

CV_IMPL void cvCalcOpticalFlowULK(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                  CvArr* vely, CvMemStorage* storage,
                                  StuffInfo* stuffInfo)
{
    static const char kFuncName[] = "cvCalcOpticalFlowULK";
    FlowArguments args;
    if (!ulk::checkFlowArguments(srcA, srcB, velx, vely, storage,
                                 stuffInfo != nullptr, kFuncName, &args))
        return;
    ulk::StorageClaim claim;
    if (!claim.take(storage, kFuncName))
        return;
    ulk::calcOpticalFlowULK(args.srcA, args.srcB, args.velx, args.vely, storage,
                            stuffInfo);
}

CV_IMPL void cvCalcOpticalFlowULKRefined(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                         CvArr* vely, CvMemStorage* storage,
                                         StuffInfo* stuffInfo, int flags)
{
    static const char kFuncName[] = "cvCalcOpticalFlowULKRefined";
    FlowArguments args;
    if (!ulk::checkFlowArguments(srcA, srcB, velx, vely, storage,
                                 stuffInfo != nullptr, kFuncName, &args))
        return;
    if ((flags & ~CV_ULK_REFINE_ALL) != 0) {
        ULK_RAISE(CV_StsOutOfRange, kFuncName, "Unknown refinement flags");
        return;
    }
    ulk::StorageClaim claim;
    if (!claim.take(storage, kFuncName))
        return;
    if (flags == 0)
        ulk::calcOpticalFlowULK(args.srcA, args.srcB, args.velx, args.vely,
                                storage, stuffInfo);
    else
        ulk::calcOpticalFlowULKRefined(args.srcA, args.srcB, args.velx,
                                       args.vely, storage, stuffInfo, flags);
}

CV_IMPL void cvReleaseOpticalFlowULKBuffers(void)
{
    ulk::releaseThreadBuffers();
}
