// The frame loop of the program: each frame turned to grey, its flow
// against the previous frame, the picture of it shown, recorded and its
// film position printed, until a key or the end of the video.
//
// The loop is a pipeline: one thread decodes ahead, the workers compute
// the flow and the colour picture of several frame pairs at once, the
// calling thread prints and shows every frame in order and one more thread
// records them in order. What it prints and the pictures it hands on are
// the same whatever the number of workers.
#ifndef OF_ULK_FRAME_PIPELINE_H
#define OF_ULK_FRAME_PIPELINE_H

#include <opencv2/core.hpp>

#include <string>

namespace ulk::frontend {
class InterruptWatch;
}

namespace ulk::viewer {

// Where the frames come from. Both functions are called on the loop's own
// decoding thread, never at the same time.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    // Reads the next frame into frame; false at the end of the video.
    // May throw; the loop rethrows in frame order.
    virtual bool read(cv::Mat& frame) = 0;
    // Film position in milliseconds of the frame just read.
    virtual double position() = 0;
};

// Where the pictures go, each frame shown, then recorded, and a key waited
// for after it is shown. show and keyPressed are called on the loop's
// calling thread and record on the loop's own recording thread, in frame
// order; a frame is shown only once the one before it is recorded, and the
// run ends only after every shown picture was recorded.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // Shows the picture (CV_8UC3, frame size); it is only valid during the
    // call.
    virtual void show(const cv::Mat& picture) = 0;
    // Records the picture that was shown; only valid during the call.
    virtual void record(const cv::Mat& picture) = 0;
    // Waits briefly for a key; true ends the loop after this frame.
    virtual bool keyPressed() = 0;
};

struct FrameLoopSettings {
    cv::Size frameSize;       // size the source declared
    bool stuffInfo = false;   // "/si": overlay and counts
    bool addFields = false;   // "/av": colour of the last two fields
    bool refined = false;     // "/hq": the engine's refined mode
    int storageBlockSize = 0; // block size of the engine's storages
    std::string shownSource;  // the source as messages name it
    int workers = 1;          // flow computations at once
};

// Runs the loop over the frames of source. Returns 0 at a key, at a stop
// signal that `watch` caught (before or during the loop) or at the end of
// the video, and -1 after reporting, on standard error, a frame that cannot
// be processed; a failure of the engine, the source or the sink is thrown
// once every frame before it was handed on and every thread has ended.
// At most workers + 4 frames are in flight.
int runFrameLoop(FrameSource& source, FrameSink& sink,
                 const FrameLoopSettings& settings,
                 frontend::InterruptWatch* watch = nullptr);

// The number of workers the program uses: OpenCV's thread count, at most
// 8.
int frameLoopWorkers();

// Sets OpenCV's thread count from the environment variable
// OPENCV_FOR_THREADS_NUM when it holds a number from 1 up, at most the
// number of cores (OpenCV's TBB builds do not read it themselves); 1 runs
// the program on one thread.
void applyThreadSetting();

} // namespace ulk::viewer

#endif
