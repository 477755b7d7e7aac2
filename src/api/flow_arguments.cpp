#include "api/flow_arguments.h"

#include "api/errors.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ulk {

namespace {

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

// The roots of the storages that calls hold. The lock is taken only to
// claim and to let go, never during a run, so calls on other storages go on
// in parallel.
struct HeldStorages {
    std::mutex lock;
    std::vector<const CvMemStorage*> roots;
};

HeldStorages& heldStorages()
{
    static HeldStorages held;
    return held;
}

// Alignment of the pieces inside a memory storage: that of a double.
constexpr long long kStorageAlign = sizeof(double);

// Bytes rounded up to the alignment of pieces inside a memory storage.
long long storageAligned(long long bytes)
{
    return (bytes + kStorageAlign - 1) / kStorageAlign * kStorageAlign;
}

} // namespace

long long leastStorageBlock(int rows, int cols, bool withStuffInfo)
{
    // A sequence block holds its header and at least one element; the
    // segments' elements are the largest.
    const long long element = static_cast<long long>(std::max(
        {sizeof(SegmentRecord), sizeof(TrackPoint), sizeof(TrackPoint*)}));
    long long piece =
        std::max(static_cast<long long>(sizeof(CvSeq)),
                 storageAligned(sizeof(CvSeqBlock)) + storageAligned(element));
    if (withStuffInfo)
        piece = std::max(piece, storageAligned(2LL * rows * cols));
    return piece + static_cast<long long>(sizeof(CvMemBlock));
}

bool checkFlowArguments(CvArr* srcA, CvArr* srcB, CvArr* velx, CvArr* vely,
                        CvMemStorage* storage, bool withStuffInfo,
                        const char* funcName, FlowArguments* args)
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

    if (mapsShareElements(matX, matY)) {
        ULK_RAISE(CV_StsBadArg, funcName, "velx and vely must not overlap");
        return false;
    }
    // Not left to cvMemStorageAlloc: the engine clears the storage before
    // its first piece, and blocks smaller than their own header would
    // overrun the heap there instead of being refused.
    const long long least =
        leastStorageBlock(matA->rows, matA->cols, withStuffInfo);
    if (storage->block_size < least) {
        ULK_RAISE(CV_StsOutOfRange, funcName,
                  cv::format("Storage block size %d is too small for this "
                             "call: it needs at least %lld",
                             storage->block_size, least)
                      .c_str());
        return false;
    }
    args->srcA = matA;
    args->srcB = matB;
    args->velx = matX;
    args->vely = matY;
    return true;
}

bool StorageClaim::take(const CvMemStorage* storage, const char* funcName)
{
    const CvMemStorage* root = storage;
    while (root->parent != nullptr)
        root = root->parent;
    {
        HeldStorages& held = heldStorages();
        const std::lock_guard<std::mutex> guard(held.lock);
        if (std::find(held.roots.begin(), held.roots.end(), root) ==
            held.roots.end()) {
            held.roots.push_back(root);
            root_ = root;
        }
    }
    if (root_ == nullptr) {
        ULK_RAISE(CV_StsBadArg, funcName,
                  "the storage is in use by another call");
        return false;
    }
    return true;
}

StorageClaim::~StorageClaim()
{
    if (root_ == nullptr)
        return;
    HeldStorages& held = heldStorages();
    const std::lock_guard<std::mutex> guard(held.lock);
    held.roots.erase(std::find(held.roots.begin(), held.roots.end(), root_));
}

} // namespace ulk
