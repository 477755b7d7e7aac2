#include "work_buffers.h"

namespace {

thread_local WorkBuffers* threadBuffers = nullptr;

} // namespace

WorkBuffers& WorkBuffers::forFrame(int rows, int cols)
{
    thread_local WorkBuffers buffers;
    threadBuffers = &buffers;
    buffers.fit(rows, cols);
    return buffers;
}

void WorkBuffers::release()
{
    if (threadBuffers != nullptr)
        *threadBuffers = WorkBuffers();
}

void WorkBuffers::fit(int rows, int cols)
{
    // The walk map is made last: a set whose making failed is remade.
    if (walkData_.rows == rows && walkData_.cols == cols)
        return;
    // The old set goes first, so that a size change never holds two.
    *this = WorkBuffers();
    workImage_.create(rows, cols, CV_8UC1);
    integralA_.create(rows + 1, cols + 1, CV_32SC1);
    integralB_.create(rows + 1, cols + 1, CV_32SC1);
    labelData_.create(rows, cols, CV_16UC1);
    walkData_.create(rows, cols, CV_16UC1);
    workImageHeader_ = cvMat(workImage_);
    integralAHeader_ = cvMat(integralA_);
    integralBHeader_ = cvMat(integralB_);
}
