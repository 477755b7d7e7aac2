#include "frame_pipeline.h"

#include "cvoptflowulk.h"
#include "velocity_colour.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc/imgproc_c.h>

#include <cstdio>
#include <utility>

namespace {

// Key wait per frame; any key ends the loop.
constexpr int kKeyWaitMs = 10;

void printPositionLine(const cv::VideoCapture& capture)
{
    const std::string line =
        filmPositionLine(capture.get(cv::CAP_PROP_POS_MSEC));
    std::fputs(line.c_str(), stdout);
}

// Turns one frame into the grey image, which was made for the size that
// the source declared. A frame of another size or of a pixel format without
// a grey conversion is reported on standard error and gives false: it must
// not reach the engine, whose buffers all have the declared size. The
// source is named as messages show it.
bool frameToGrey(const cv::Mat& frame, IplImage* grey, long frameNumber,
                 const std::string& sourceName)
{
    const cv::Size expected(grey->width, grey->height);
    if (frame.size() != expected) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "Frame %ld of %s is %d x %d, not %d x %d like the video: "
                     "frames of changing size cannot be compared\n",
                     frameNumber, sourceName.c_str(), frame.cols, frame.rows,
                     expected.width, expected.height);
        return false;
    }
    IplImage frameImage = cvIplImage(frame);
    switch (frame.type()) {
    case CV_8UC3:
        cvCvtColor(&frameImage, grey, CV_BGR2GRAY);
        return true;
    case CV_8UC4:
        cvCvtColor(&frameImage, grey, CV_BGRA2GRAY);
        return true;
    case CV_8UC1:
        cvCopy(&frameImage, grey);
        return true;
    default:
        std::fflush(stdout);
        std::fprintf(stderr,
                     "Frame %ld of %s has a pixel format without a grey "
                     "conversion (OpenCV type %d)\n",
                     frameNumber, sourceName.c_str(), frame.type());
        return false;
    }
}

void printCounts(const StuffInfo& info)
{
    const unsigned segments = info.segments != nullptr
                                  ? static_cast<unsigned>(info.segments->total)
                                  : 0u;
    const unsigned points = info.trackPoints != nullptr
                                ? static_cast<unsigned>(info.trackPoints->total)
                                : 0u;
    std::printf("Segment quantity....... %u\n", segments);
    std::printf("Tracking point number.. %u\n", points);
}

} // namespace

int runFrameLoop(const DriverOptions& options, cv::VideoCapture& capture,
                 cv::VideoWriter& writer, FrameBuffers& buffers,
                 const char* windowName, const std::string& shownSource)
{
    ImageHolder& result = *buffers.result;
    StuffInfo info{};
    StuffInfo* infoArg = options.stuffInfo ? &info : nullptr;
    const cv::Mat shown = cv::cvarrToMat(result.image());

    cv::Mat frame;
    if (!capture.read(frame))
        return 0;
    unsigned parity = 0;
    long frameNumber = 0;
    do {
        parity = (parity + 1) % 2;
        const int pair = velocityPairForParity(parity);

        if (!frameToGrey(frame, buffers.currentGrey, ++frameNumber,
                         shownSource))
            return -1;
        cvCalcOpticalFlowULK(buffers.previousGrey, buffers.currentGrey,
                             buffers.velx[pair], buffers.vely[pair],
                             buffers.storage, infoArg);

        if (options.stuffInfo) {
            cvDrawOpticalFlowStuffInfo(result.image(), &info);
            printCounts(info);
        } else if (options.addFields) {
            cvAdd(buffers.velx[1], buffers.velx[2], buffers.velx[0], nullptr);
            cvAdd(buffers.vely[1], buffers.vely[2], buffers.vely[0], nullptr);
            renderVelocityColour(buffers.velx[0], buffers.vely[0],
                                 kColourFactorSum, result);
        } else {
            renderVelocityColour(buffers.velx[pair], buffers.vely[pair],
                                 kColourFactorSingle, result);
        }

        printPositionLine(capture);
        cv::imshow(windowName, shown);
        if (writer.isOpened())
            writer.write(shown);
        if (cv::waitKey(kKeyWaitMs) >= 0)
            break;
        std::swap(buffers.previousGrey, buffers.currentGrey);
    } while (capture.read(frame));
    return 0;
}
