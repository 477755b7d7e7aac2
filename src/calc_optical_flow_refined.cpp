// cvCalcOpticalFlowULKRefined: the argument checks of cvCalcOpticalFlowULK,
// the flags, then the engine run with or without refinements.
#include "cvoptflowulk.h"
#include "engine.h"
#include "errors.h"
#include "flow_arguments.h"
#include "refined_engine.h"

namespace {

const char* const kFuncName = "cvCalcOpticalFlowULKRefined";

} // namespace

CV_IMPL void cvCalcOpticalFlowULKRefined(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                         CvArr* vely, CvMemStorage* storage,
                                         StuffInfo* stuffInfo, int flags)
{
    FlowArguments args;
    if (!checkFlowArguments(srcA, srcB, velx, vely, storage, kFuncName, &args))
        return;
    if ((flags & ~CV_ULK_REFINE_ALL) != 0) {
        ULK_RAISE(CV_StsOutOfRange, kFuncName, "Unknown refinement flags");
        return;
    }

    const int status =
        flags == 0
            ? calcOpticalFlowULK(args.srcA, args.srcB, args.velx, args.vely,
                                 storage, stuffInfo)
            : calcOpticalFlowULKRefined(args.srcA, args.srcB, args.velx,
                                        args.vely, storage, stuffInfo, flags);
    if (status < 0)
        ULK_RAISE(cvErrorFromIppStatus(status), kFuncName,
                  "OpenCV function failed");
}
