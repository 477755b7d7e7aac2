// cvCalcOpticalFlowULK: argument checks in their fixed order, then the
// engine run.
#include "cvoptflowulk.h"
#include "engine.h"
#include "errors.h"

namespace {

const char* const kFuncName = "cvCalcOpticalFlowULK";

} // namespace

CV_IMPL void cvCalcOpticalFlowULK(CvArr* srcA, CvArr* srcB, CvArr* velx,
                                  CvArr* vely, CvMemStorage* storage,
                                  StuffInfo* stuffInfo)
{
    CvMat headerA, headerB, headerX, headerY;
    CvMat* matA = getMatOrReport(srcA, &headerA, kFuncName);
    if (!matA)
        return;
    CvMat* matB = getMatOrReport(srcB, &headerB, kFuncName);
    if (!matB)
        return;
    CvMat* matX = getMatOrReport(velx, &headerX, kFuncName);
    if (!matX)
        return;
    CvMat* matY = getMatOrReport(vely, &headerY, kFuncName);
    if (!matY)
        return;

    if (storage == nullptr) {
        ULK_RAISE(CV_StsNullPtr, kFuncName, "NULL storage pointer ");
        return;
    }
    if (CV_MAT_TYPE(matA->type) != CV_MAT_TYPE(matB->type)) {
        ULK_RAISE(CV_StsUnmatchedFormats, kFuncName,
                  "Source images have different formats");
        return;
    }
    if (CV_MAT_TYPE(matX->type) != CV_MAT_TYPE(matY->type)) {
        ULK_RAISE(CV_StsUnmatchedFormats, kFuncName,
                  "Destination images have different formats");
        return;
    }
    if (matA->rows != matB->rows || matA->cols != matB->cols ||
        matX->rows != matY->rows || matX->cols != matY->cols ||
        matA->rows != matX->rows || matA->cols != matX->cols) {
        ULK_RAISE(CV_StsUnmatchedSizes, kFuncName, "");
        return;
    }
    if (CV_MAT_TYPE(matA->type) != CV_8UC1 ||
        CV_MAT_TYPE(matX->type) != CV_32FC1) {
        ULK_RAISE(CV_StsUnsupportedFormat, kFuncName,
                  "Source images must have 8uC1 type and destination images "
                  "must have 32fC1 type");
        return;
    }
    if (matA->step != matB->step || matX->step != matY->step) {
        ULK_RAISE(CV_BadStep, kFuncName,
                  "source and destination images have different step");
        return;
    }

    const int status =
        calcOpticalFlowULK(matA, matB, matX, matY, storage, stuffInfo);
    if (status < 0)
        ULK_RAISE(cvErrorFromIppStatus(status), kFuncName,
                  "OpenCV function failed");
}
