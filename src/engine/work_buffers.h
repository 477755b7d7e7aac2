// The engine's working matrices, kept by each calling thread from one call
// to the next.
#ifndef OF_ULK_WORK_BUFFERS_H
#define OF_ULK_WORK_BUFFERS_H

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

namespace ulk {

// The preprocessed frame, the two integral images and the two 16-bit maps
// of one call. Made anew for every call, they went back to the system at
// its end and were faulted in again page by page on the next: a quarter of
// the time of a 1920 x 1080 call. Each thread now keeps one set, for the
// frame size of its latest call: about 13 bytes per pixel.
class WorkBuffers {
  public:
    // This thread's set for frames of rows x cols, remade when the size
    // differs from the last call's. The contents are left as they are.
    static WorkBuffers& forFrame(int rows, int cols);
    // Hands this thread's set back; the next call makes a new one.
    static void release();

    CvMat* workImage() { return &workImageHeader_; }
    CvMat* integralA() { return &integralAHeader_; }
    CvMat* integralB() { return &integralBHeader_; }
    unsigned short* labelData() { return labelData_.ptr<unsigned short>(); }
    unsigned short* markData() { return markData_.ptr<unsigned short>(); }
    // Room for a copy of the label map (2 more bytes per pixel), made when
    // first asked for: only calls that walk outlines during the
    // segmentation need it.
    unsigned short* snapshotData();

  private:
    void fit(int rows, int cols);

    cv::Mat workImage_; // CV_8UC1, rows x cols
    cv::Mat integralA_; // CV_32SC1, (rows + 1) x (cols + 1)
    cv::Mat integralB_;
    cv::Mat labelData_; // CV_16UC1, rows x cols
    cv::Mat markData_;
    cv::Mat snapshotData_; // CV_16UC1, rows x cols, or empty
    CvMat workImageHeader_ = {};
    CvMat integralAHeader_ = {};
    CvMat integralBHeader_ = {};
};

} // namespace ulk

#endif
