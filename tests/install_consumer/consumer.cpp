// Uses the installed headers and library; exits 0 when they behave.
#include <cvoptflowulk.h>
#include <cvoptflowulk.hpp>

#include <opencv2/core.hpp>

#include <cstdio>
#include <cstring>

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
    cvReleaseMat(&grey);
    cvReleaseMat(&flow);
    if (code != CV_StsNullPtr) {
        std::fprintf(stderr, "null storage gave status %d\n", code);
        return 1;
    }
    // The factory's field equals the C entry's on a pair of noise frames
    // shifted by two pixels.
    cv::Mat older(48, 64, CV_8UC1);
    cv::randu(older, 0, 256);
    cv::Mat newer;
    cv::hconcat(older.colRange(62, 64), older.colRange(0, 62), newer);
    cv::Ptr<cv::DenseOpticalFlow> of = cv::optflow::createOptFlow_ULK();
    cv::Mat field;
    of->calc(older, newer, field);

    cv::Mat velx(older.size(), CV_32FC1);
    cv::Mat vely(older.size(), CV_32FC1);
    CvMat a = cvMat(older);
    CvMat b = cvMat(newer);
    CvMat vx = cvMat(velx);
    CvMat vy = cvMat(vely);
    CvMemStorage* storage = cvCreateMemStorage(0);
    cvCalcOpticalFlowULK(&a, &b, &vx, &vy, storage, nullptr);
    cvReleaseMemStorage(&storage);
    cv::Mat want;
    cv::Mat channels[] = {velx, vely};
    cv::merge(channels, 2, want);
    if (field.type() != CV_32FC2 || field.size() != want.size() ||
        std::memcmp(field.data, want.data, want.total() * want.elemSize())) {
        std::fputs("createOptFlow_ULK differs from cvCalcOpticalFlowULK\n",
                   stderr);
        return 1;
    }

    // The refined mode links (it needs OpenCV's video module) and runs;
    // identical frames give no motion.
    cv::Mat still(64, 64, CV_8UC1, cv::Scalar(90));
    cv::Mat stillX(still.size(), CV_32FC1), stillY(still.size(), CV_32FC1);
    CvMat s = cvMat(still);
    CvMat sx = cvMat(stillX);
    CvMat sy = cvMat(stillY);
    storage = cvCreateMemStorage(0);
    cvCalcOpticalFlowULKRefined(&s, &s, &sx, &sy, storage, nullptr,
                                CV_ULK_REFINED_DEFAULT);
    cvReleaseMemStorage(&storage);
    const double motion =
        cv::norm(stillX, cv::NORM_L1) + cv::norm(stillY, cv::NORM_L1);
    if (motion != 0.0) {
        std::fprintf(stderr, "refined mode found motion %g in still frames\n",
                     motion);
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}
