#include "api/errors.h"

#include <opencv2/core.hpp>

namespace ulk {

const char* const kUlkSourceFile = "cvoptflowulk";

CvMat* getMatOrReport(const CvArr* arr, CvMat* header, const char* funcName)
{
    CvMat* mat = nullptr;
    bool failed = false;
    try {
        mat = cvGetMat(arr, header, nullptr, 0);
    } catch (const cv::Exception&) {
        // This OpenCV throws from cvGetMat; the report below replaces it.
        failed = true;
    }
    if (failed || mat == nullptr || cvGetErrStatus() < 0) {
        ULK_RAISE(CV_StsBackTrace, funcName, "Inner function failed.");
        return nullptr;
    }
    return mat;
}

} // namespace ulk
