#include "engine/work_buffers.h"

namespace ulk {

namespace {

// This thread's set.
thread_local WorkBuffers threadBuffers;

} // namespace

WorkBuffers& WorkBuffers::forFrame(int rows, int cols)
{
    threadBuffers.fit(rows, cols);
    return threadBuffers;
}

void WorkBuffers::release()
{
    threadBuffers = WorkBuffers();
}

void WorkBuffers::fit(int rows, int cols)
{
    // The mark map is made last: a set whose making failed is remade.
    if (markData_.rows == rows && markData_.cols == cols)
        return;
    // The old set goes first, so that a size change never holds two.
    *this = WorkBuffers();
    workImage_.create(rows, cols, CV_8UC1);
    integralA_.create(rows + 1, cols + 1, CV_32SC1);
    integralB_.create(rows + 1, cols + 1, CV_32SC1);
    labelData_.create(rows, cols, CV_16UC1);
    markData_.create(rows, cols, CV_16UC1);
    workImageHeader_ = cvMat(workImage_);
    integralAHeader_ = cvMat(integralA_);
    integralBHeader_ = cvMat(integralB_);
}

unsigned short* WorkBuffers::snapshotData()
{
    if (snapshotData_.empty())
        snapshotData_.create(markData_.rows, markData_.cols, CV_16UC1);
    return snapshotData_.ptr<unsigned short>();
}

} // namespace ulk
