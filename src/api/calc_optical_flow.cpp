// The flow entries cvCalcOpticalFlowULK, cvCalcOpticalFlowULKRefined and
// cvCalcOpticalFlowULKRefinedEx: argument checks in their fixed order, the
// storage's claim, then the engine run.
#include "cvoptflowulk.h"

#include "api/errors.h"
#include "api/flow_arguments.h"
#include "engine/contour_visitors.h"
#include "engine/engine.h"
#include "engine/work_buffers.h"
#include "refine/refine_params.h"
#include "refine/refined_engine.h"
#include "refine/variational.h"

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

namespace {

// The refined entries after their argument checks: the storage's claim,
// then the engine's run or, without refinements, the default one.
void runRefined(const FlowArguments& args, CvMemStorage* storage,
                StuffInfo* stuffInfo, const CvULKRefineParams& params,
                const char* funcName)
{
    ulk::StorageClaim claim;
    if (!claim.take(storage, funcName))
        return;
    if (params.flags == 0)
        ulk::calcOpticalFlowULK(args.srcA, args.srcB, args.velx, args.vely,
                                storage, stuffInfo);
    else
        ulk::calcOpticalFlowULKRefined(args.srcA, args.srcB, args.velx,
                                       args.vely, storage, stuffInfo, params);
}

} // namespace

CV_IMPL void cvCalcOpticalFlowULKRefined(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                         CvArr* vely, CvMemStorage* storage,
                                         StuffInfo* stuffInfo, int flags)
{
    static const char kFuncName[] = "cvCalcOpticalFlowULKRefined";
    FlowArguments args;
    if (!ulk::checkFlowArguments(srcA, srcB, velx, vely, storage,
                                 stuffInfo != nullptr, kFuncName, &args))
        return;
    CvULKRefineParams params = ulk::defaultRefineParams();
    params.flags = flags;
    const std::string problem = ulk::refineParamsProblem(params);
    if (!problem.empty()) {
        ULK_RAISE(CV_StsOutOfRange, kFuncName, problem.c_str());
        return;
    }
    runRefined(args, storage, stuffInfo, params, kFuncName);
}

CV_IMPL void cvCalcOpticalFlowULKRefinedEx(CvArr* srcA, CvArr* srcB,
                                           CvArr* velx, CvArr* vely,
                                           CvMemStorage* storage,
                                           StuffInfo* stuffInfo,
                                           const CvULKRefineParams* params)
{
    static const char kFuncName[] = "cvCalcOpticalFlowULKRefinedEx";
    FlowArguments args;
    if (!ulk::checkFlowArguments(srcA, srcB, velx, vely, storage,
                                 stuffInfo != nullptr, kFuncName, &args))
        return;
    if (!params) {
        ULK_RAISE(CV_StsNullPtr, kFuncName, "Null refinement parameters");
        return;
    }
    const std::string problem = ulk::refineParamsProblem(*params);
    if (!problem.empty()) {
        ULK_RAISE(CV_StsOutOfRange, kFuncName, problem.c_str());
        return;
    }
    runRefined(args, storage, stuffInfo, *params, kFuncName);
}

CV_IMPL CvULKRefineParams cvULKRefineParams(void)
{
    return ulk::defaultRefineParams();
}

// Everything the engine and the refined mode keep for the calling thread
// from one call to the next.
CV_IMPL void cvReleaseOpticalFlowULKBuffers(void)
{
    ulk::WorkBuffers::release();
    ulk::releaseOutlineCorners();
    ulk::releaseVariationalSolvers();
}
