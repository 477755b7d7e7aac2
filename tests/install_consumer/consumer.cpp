// Uses the installed header and library; exits 0 when both behave.
#include <cvoptflowulk.h>

#include <opencv2/core.hpp>

#include <cstdio>

int main()
{
    // A 2 x 3 label map read back through the library.
    unsigned short labels[6] = {1, 2, 3, 65, 66, 67};
    CvMat map = cvMat(2, 3, CV_16UC1, labels);
    if (cvGetSegIndex(&map, 2, 1) != 67 || cvGetSegIndex(&map, 3, 0) != 0) {
        std::fputs("cvGetSegIndex gave a wrong value\n", stderr);
        return 1;
    }

    // A null storage is refused with the library's error mechanism.
    CvMat* grey = cvCreateMat(8, 8, CV_8UC1);
    CvMat* flow = cvCreateMat(8, 8, CV_32FC1);
    int code = 0;
    try {
        cvCalcOpticalFlowULK(grey, grey, flow, flow, nullptr, nullptr);
    } catch (const cv::Exception& e) {
        code = e.code;
    }
    if (code != CV_StsNullPtr) {
        std::fprintf(stderr, "null storage gave status %d\n", code);
        return 1;
    }

    // The refined mode links (it needs OpenCV's video module) and runs;
    // identical frames give no motion.
    CvMat* grey64 = cvCreateMat(64, 64, CV_8UC1);
    CvMat* velx = cvCreateMat(64, 64, CV_32FC1);
    CvMat* vely = cvCreateMat(64, 64, CV_32FC1);
    cvSet(grey64, cvScalar(90));
    CvMemStorage* storage = cvCreateMemStorage(0);
    cvCalcOpticalFlowULKRefined(grey64, grey64, velx, vely, storage, nullptr,
                                CV_ULK_REFINED_DEFAULT);
    const double motion =
        cvNorm(velx, nullptr, CV_L1) + cvNorm(vely, nullptr, CV_L1);
    cvReleaseMemStorage(&storage);
    cvReleaseMat(&grey64);
    cvReleaseMat(&velx);
    cvReleaseMat(&vely);
    cvReleaseMat(&grey);
    cvReleaseMat(&flow);
    if (motion != 0.0) {
        std::fprintf(stderr, "refined mode found motion %g in still frames\n",
                     motion);
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}
