// cvCalcOpticalFlowULK: argument checks in their fixed order, then the
// engine run.
#include "cvoptflowulk.h"
#include "engine.h"
#include "errors.h"
#include "flow_arguments.h"

namespace {

const char* const kFuncName = "cvCalcOpticalFlowULK";

} // namespace

CV_IMPL void cvCalcOpticalFlowULK(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                  CvArr* vely, CvMemStorage* storage,
                                  StuffInfo* stuffInfo)
{
    FlowArguments args;
    if (!checkFlowArguments(srcA, srcB, velx, vely, storage, kFuncName, &args))
        return;

    const int status = calcOpticalFlowULK(args.srcA, args.srcB, args.velx,
                                          args.vely, storage, stuffInfo);
    if (status < 0)
        ULK_RAISE(cvErrorFromIppStatus(status), kFuncName,
                  "OpenCV function failed");
}
