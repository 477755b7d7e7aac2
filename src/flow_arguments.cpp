#include "flow_arguments.h"

#include "errors.h"

bool checkFlowArguments(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                        CvMemStorage* storage, const char* funcName,
                        FlowArguments* args)
{
    CvMat* matA = getMatOrReport(srcA, &args->headerA, funcName);
    if (!matA)
        return false;
    CvMat* matB = getMatOrReport(srcB, &args->headerB, funcName);
    if (!matB)
        return false;
    CvMat* matX = getMatOrReport(velx, &args->headerX, funcName);
    if (!matX)
        return false;
    CvMat* matY = getMatOrReport(vely, &args->headerY, funcName);
    if (!matY)
        return false;

    if (storage == nullptr) {
        ULK_RAISE(CV_StsNullPtr, funcName, "NULL storage pointer ");
        return false;
    }
    if (CV_MAT_TYPE(matA->type) != CV_MAT_TYPE(matB->type)) {
        ULK_RAISE(CV_StsUnmatchedFormats, funcName,
                  "Source images have different formats");
        return false;
    }
    if (CV_MAT_TYPE(matX->type) != CV_MAT_TYPE(matY->type)) {
        ULK_RAISE(CV_StsUnmatchedFormats, funcName,
                  "Destination images have different formats");
        return false;
    }
    if (matA->rows != matB->rows || matA->cols != matB->cols ||
        matX->rows != matY->rows || matX->cols != matY->cols ||
        matA->rows != matX->rows || matA->cols != matX->cols) {
        ULK_RAISE(CV_StsUnmatchedSizes, funcName, "");
        return false;
    }
    if (CV_MAT_TYPE(matA->type) != CV_8UC1 ||
        CV_MAT_TYPE(matX->type) != CV_32FC1) {
        ULK_RAISE(CV_StsUnsupportedFormat, funcName,
                  "Source images must have 8uC1 type and destination images "
                  "must have 32fC1 type");
        return false;
    }
    if (matA->step != matB->step || matX->step != matY->step) {
        ULK_RAISE(CV_BadStep, funcName,
                  "source and destination images have different step");
        return false;
    }
    args->srcA = matA;
    args->srcB = matB;
    args->velx = matX;
    args->vely = matY;
    return true;
}
