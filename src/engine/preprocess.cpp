// Preprocessing and level quantisation: the first stage of the engine.
#include "engine/preprocess.h"

#include "engine/parallel_bands.h"
#include "engine/work_buffers.h"

#include <opencv2/imgproc/imgproc_c.h>

namespace ulk {

namespace {

// Grey values at or below this are set to 0 before equalisation.
const double kDarkThreshold = 10.0;
// Gaussian that calms the equalised frame before quantisation.
const int kPreSmoothSize = 5;
const double kPreSmoothSigma = 5.0;
// Storage allocations are kept to whole 8-byte units.
const size_t kStorageAlign = 8;

// Rows per parallel stripe of the quantisation at least.
const int kMinQuantiseRows = 32;

// The levels of rows [first, end) into both maps.
void quantiseRows(const CvMat* workImage, CvMat* labelMap, CvMat* markMap,
                  int first, int end)
{
    for (int y = first; y < end; ++y) {
        const unsigned char* grey = workImage->data.ptr + y * workImage->step;
        unsigned short* label = reinterpret_cast<unsigned short*>(
            labelMap->data.ptr + y * labelMap->step);
        unsigned short* mark = reinterpret_cast<unsigned short*>(
            markMap->data.ptr + y * markMap->step);
        for (int x = 0; x < workImage->cols; ++x) {
            const unsigned short level =
                static_cast<unsigned short>(grey[x] / kLevelWidth + 1);
            label[x] = level;
            mark[x] = level;
        }
    }
}

} // namespace

void createWorkObjects(const CvMat* src, CvMemStorage* storage,
                       bool withStuffInfo, FlowWork* work)
{
    const int rows = src->rows;
    const int cols = src->cols;
    const size_t mapBytes =
        size_t(rows) * size_t(cols) * sizeof(unsigned short);

    cvClearMemStorage(storage);

    WorkBuffers& buffers = WorkBuffers::forFrame(rows, cols);
    work->workImage = buffers.workImage();
    work->integralA = buffers.integralA();
    work->integralB = buffers.integralB();

    work->segments =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(SegmentRecord), storage);
    work->trackPoints =
        cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint), storage);

    // With a StuffInfo the label map outlives the call inside the storage;
    // otherwise it is the thread's scratch like the mark map.
    if (withStuffInfo) {
        const size_t rounded =
            (mapBytes + kStorageAlign - 1) / kStorageAlign * kStorageAlign;
        work->labelData =
            static_cast<unsigned short*>(cvMemStorageAlloc(storage, rounded));
    } else {
        work->labelData = buffers.labelData();
    }
    work->markData = buffers.markData();

    cvInitMatHeader(&work->labelMap, rows, cols, CV_16UC1, work->labelData);
    cvInitMatHeader(&work->markMap, rows, cols, CV_16UC1, work->markData);
}

void prepareWorkImage(const CvMat* srcB, FlowWork* work)
{
    cvThreshold(srcB, work->workImage, kDarkThreshold, 0.0, CV_THRESH_TOZERO);
    cvEqualizeHist(work->workImage, work->workImage);
    cvSmooth(work->workImage, work->workImage, CV_GAUSSIAN, kPreSmoothSize,
             kPreSmoothSize, kPreSmoothSigma, 0.0);
}

void integrateFrames(const CvMat* srcA, const CvMat* srcB, FlowWork* work)
{
    const CvMat* const frames[2] = {srcA, srcB};
    CvMat* const integrals[2] = {work->integralA, work->integralB};
    cv::parallel_for_(
        cv::Range(0, 2),
        [&](const cv::Range& which) {
            for (int i = which.start; i < which.end; ++i)
                cvIntegral(frames[i], integrals[i], nullptr, nullptr);
        },
        stripeCount(2, 1));
}

void quantiseLevels(const CvMat* workImage, CvMat* labelMap, CvMat* markMap)
{
    cv::parallel_for_(
        cv::Range(0, workImage->rows),
        [=](const cv::Range& rows) {
            quantiseRows(workImage, labelMap, markMap, rows.start, rows.end);
        },
        stripeCount(workImage->rows, kMinQuantiseRows));
}

void releaseWorkObjects(FlowWork* work)
{
    // Everything but a label map in the storage is the thread's scratch,
    // kept for the next call.
    work->markData = nullptr;
    work->labelData = nullptr;
    work->integralB = nullptr;
    work->integralA = nullptr;
    work->workImage = nullptr;
}

} // namespace ulk
