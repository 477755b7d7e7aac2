// cvCalcOpticalFlowULK: argument checks in their fixed order, then the
// engine run.
#include "cvoptflowulk.h"
#include "engine.h"
#include "errors.h"

#include <algorithm>
#include <cstdint>

namespace {

const char* const kFuncName = "cvCalcOpticalFlowULK";

// True when two maps of one size, type and row step have an element in
// common. Each row of b lies at a byte offset from a row of a; the rows
// nearest each other decide, so disjoint interleaved views of one buffer
// (the left and right halves of a wider array, say) do not count.
bool mapsShareElements(const CvMat* a, const CvMat* b)
{
    const std::intptr_t rowBytes =
        static_cast<std::intptr_t>(a->cols) * CV_ELEM_SIZE(a->type);
    const std::intptr_t step = a->step;
    const std::intptr_t lastRow = a->rows - 1;
    const std::intptr_t offset = reinterpret_cast<std::intptr_t>(b->data.ptr) -
                                 reinterpret_cast<std::intptr_t>(a->data.ptr);
    if (rowBytes <= 0 || a->rows <= 0)
        return false;
    if (step <= 0 || lastRow == 0)
        return offset > -rowBytes && offset < rowBytes;
    // Row i of a and row j of b start offset + (j - i) * step apart; the
    // distance is least for a shift k = j - i next to -offset / step, or
    // for the possible shift closest to it.
    const std::intptr_t nearest = -offset / step;
    for (std::intptr_t guess = nearest - 1; guess <= nearest + 1; ++guess) {
        const std::intptr_t k = std::clamp(guess, -lastRow, lastRow);
        const std::intptr_t apart = offset + k * step;
        if (apart > -rowBytes && apart < rowBytes)
            return true;
    }
    return false;
}

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

    if (mapsShareElements(matX, matY)) {
        ULK_RAISE(CV_StsBadArg, kFuncName, "velx and vely must not overlap");
        return;
    }

    const int status =
        calcOpticalFlowULK(matA, matB, matX, matY, storage, stuffInfo);
    if (status < 0)
        ULK_RAISE(cvErrorFromIppStatus(status), kFuncName,
                  "OpenCV function failed");
}
