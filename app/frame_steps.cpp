#include "frame_steps.h"

#include "film_position.h"
#include "grey_frame.h"
#include "velocity_colour.h"

#include <opencv2/core/core_c.h>

#include <cstdio>

namespace ulk::viewer {

std::string frameToGrey(const cv::Mat& frame, cv::Mat& grey, long frameNumber,
                        const std::string& shownSource)
{
    char message[512];
    if (frame.size() != grey.size()) {
        std::snprintf(message, sizeof message,
                      "Frame %ld of %s is %d x %d, not %d x %d like the video: "
                      "frames of changing size cannot be compared\n",
                      frameNumber, shownSource.c_str(), frame.cols, frame.rows,
                      grey.cols, grey.rows);
        return message;
    }
    if (viz::greyOfFrame(frame, grey))
        return "";
    std::snprintf(message, sizeof message,
                  "Frame %ld of %s has a pixel format without a grey "
                  "conversion (OpenCV type %d)\n",
                  frameNumber, shownSource.c_str(), frame.type());
    return message;
}

void computeFlow(const cv::Mat& older, const cv::Mat& newer, cv::Mat& velx,
                 cv::Mat& vely, CvMemStorage* storage, StuffInfo* info,
                 bool refined)
{
    IplImage olderImage = cvIplImage(older);
    IplImage newerImage = cvIplImage(newer);
    CvMat velxMat = cvMat(velx);
    CvMat velyMat = cvMat(vely);
    if (refined)
        cvCalcOpticalFlowULKRefined(&olderImage, &newerImage, &velxMat,
                                    &velyMat, storage, info,
                                    CV_ULK_REFINED_DEFAULT);
    else
        cvCalcOpticalFlowULK(&olderImage, &newerImage, &velxMat, &velyMat,
                             storage, info);
}

void paintOverlay(const StuffInfo& info, viz::ImageHolder& result)
{
    cvDrawOpticalFlowStuffInfo(result.image(), const_cast<StuffInfo*>(&info));
    const unsigned segments = info.segments != nullptr
                                  ? static_cast<unsigned>(info.segments->total)
                                  : 0u;
    const unsigned points = info.trackPoints != nullptr
                                ? static_cast<unsigned>(info.trackPoints->total)
                                : 0u;
    std::printf("Segment quantity....... %u\n", segments);
    std::printf("Tracking point number.. %u\n", points);
}

void paintColour(const cv::Mat& velx, const cv::Mat& vely,
                 viz::ImageHolder& result)
{
    const CvMat velxMat = cvMat(velx);
    const CvMat velyMat = cvMat(vely);
    viz::renderVelocityColour(&velxMat, &velyMat, viz::kColourFactorSingle,
                              result);
}

void paintColourOfSum(const cv::Mat& firstX, const cv::Mat& firstY,
                      const cv::Mat& secondX, const cv::Mat& secondY,
                      cv::Mat& sumX, cv::Mat& sumY, viz::ImageHolder& result)
{
    cv::add(firstX, secondX, sumX);
    cv::add(firstY, secondY, sumY);
    const CvMat sumXMat = cvMat(sumX);
    const CvMat sumYMat = cvMat(sumY);
    viz::renderVelocityColour(&sumXMat, &sumYMat, viz::kColourFactorSum,
                              result);
}

void printPosition(double milliseconds)
{
    std::fputs(filmPositionLine(milliseconds).c_str(), stdout);
}

void printProblem(const std::string& message)
{
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
}

} // namespace ulk::viewer
