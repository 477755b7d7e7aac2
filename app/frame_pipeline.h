// The frame loop of the program: each frame turned to grey, its flow
// against the previous frame, the picture of it shown, recorded and its
// film position printed, until a key or the end of the video.
#ifndef OF_ULK_FRAME_PIPELINE_H
#define OF_ULK_FRAME_PIPELINE_H

#include "driver.h"
#include "image_holder.h"

#include <opencv2/core/types_c.h>
#include <opencv2/videoio.hpp>

#include <string>

// The working images of the loop, all of the frame size and made by the
// caller: two grey images whose roles swap after every frame, the result
// image, three pairs of velocity maps and the engine's storage.
struct FrameBuffers {
    IplImage* previousGrey = nullptr;
    IplImage* currentGrey = nullptr;
    ImageHolder* result = nullptr;
    CvMat** velx = nullptr;
    CvMat** vely = nullptr;
    CvMemStorage* storage = nullptr;
};

// Runs the loop over the frames of capture, showing every result in the
// window windowName and writing it to writer when that is open. shownSource
// names the source in messages. Returns 0 at a key or the end of the video
// and -1 after reporting a frame that cannot be processed.
int runFrameLoop(const DriverOptions& options, cv::VideoCapture& capture,
                 cv::VideoWriter& writer, FrameBuffers& buffers,
                 const char* windowName, const std::string& shownSource);

#endif
