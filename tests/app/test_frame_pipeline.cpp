// The frame loop with one worker and with several against the test's own
// loop of the frame steps: the same lines printed, the same pictures shown
// and handed to the recording, and the same end at a key, at a frame that
// cannot be processed and at a failure of the source or the recording.
#include "frame_pipeline.h"
#include "frame_steps.h"
#include "support.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>

#include <opencv2/core/core_c.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace ulk::viewer;
using namespace ulk::tools;

namespace {

constexpr int kWidth = 96;
constexpr int kHeight = 72;
constexpr int kFrames = 12;
// Film position of frame n (from 0), as a 25 frames per second clip has.
constexpr double kFrameMs = 40.0;

// The tests take OpenCV's thread count from OPENCV_FOR_THREADS_NUM as the
// program does: with 1, a ThreadSanitizer run sees only the loop's own
// threads and none of OpenCV's uninstrumented TBB workers. The loop's
// worker count is set by each test.
const bool kThreadSettingApplied = (applyThreadSetting(), true);

// Frames of the synthetic scene, read in order; frame `badAt` (from 1) has
// another size and frame `throwAt` throws instead of being read.
class SceneSource : public FrameSource {
  public:
    explicit SceneSource(int frames = kFrames) : scene_(kWidth, kHeight, 3)
    {
        for (int i = 0; i < frames; ++i)
            frames_.push_back(scene_.frame(i));
    }
    int badAt = 0;
    int throwAt = 0;
    std::atomic<int> reads{0};

    bool read(cv::Mat& frame) override
    {
        const int number = ++reads;
        if (number == throwAt)
            CV_Error(cv::Error::StsError, "the source failed");
        if (number > static_cast<int>(frames_.size()))
            return false;
        frame = frames_[number - 1];
        if (number == badAt)
            frame = cv::Mat(kHeight / 2, kWidth, CV_8UC3, cv::Scalar::all(9));
        return true;
    }
    double position() override { return (reads - 1) * kFrameMs; }

  private:
    SyntheticScene scene_;
    std::vector<cv::Mat> frames_;
};

// Keeps copies of every picture shown and recorded; a key is pressed
// after frame `keyAt`, the recording of frame `failAt` throws and so does
// showing frame `showFailAt`.
class KeepingSink : public FrameSink {
  public:
    int keyAt = 0;
    int failAt = 0;
    int showFailAt = 0;
    std::vector<cv::Mat> shown;
    std::vector<cv::Mat> recorded;

    void show(const cv::Mat& picture) override
    {
        if (static_cast<int>(shown.size()) + 1 == showFailAt)
            throw std::runtime_error("the window failed");
        shown.push_back(picture.clone());
    }
    void record(const cv::Mat& picture) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (static_cast<int>(recorded.size()) + 1 == failAt)
            throw std::runtime_error("the writer failed");
        recorded.push_back(picture.clone());
    }
    bool keyPressed() override
    {
        return static_cast<int>(shown.size()) == keyAt;
    }

  private:
    std::mutex mutex_;
};

struct LoopRun {
    int status = 0;
    std::string thrown; // what the loop threw, "" for none
    std::string out, err;
    std::vector<cv::Mat> shown, recorded;
    int reads = 0;
};

// One frame after the other from the frame steps, as the program's loop
// hands them on whatever its number of workers. Adding two fields does not
// depend on their order, so the /av sum takes the older first throughout.
int serialLoop(FrameSource& source, FrameSink& sink,
               const FrameLoopSettings& settings)
{
    const cv::Size size = settings.frameSize;
    auto zeros = [&](int type) { return cv::Mat(cv::Mat::zeros(size, type)); };
    cv::Mat grey[] = {zeros(CV_8UC1), zeros(CV_8UC1)}, sumX, sumY, frame;
    cv::Mat velx[] = {zeros(CV_32FC1), zeros(CV_32FC1)};
    cv::Mat vely[] = {zeros(CV_32FC1), zeros(CV_32FC1)};
    std::unique_ptr<CvMemStorage, void (*)(CvMemStorage*)> storage(
        cvCreateMemStorage(0),
        [](CvMemStorage* s) { cvReleaseMemStorage(&s); });
    StuffInfo info{};
    ulk::viz::ImageHolder picture;
    picture.create(size.width, size.height, IPL_DEPTH_8U, 3);
    cvSetZero(picture.image());
    const cv::Mat shown = cv::cvarrToMat(picture.image());
    for (long n = 1; source.read(frame); ++n) {
        const int now = n % 2, before = 1 - now;
        const std::string problem =
            frameToGrey(frame, grey[now], n, settings.shownSource);
        if (!problem.empty()) {
            printProblem(problem);
            return -1;
        }
        computeFlow(grey[before], grey[now], velx[now], vely[now],
                    storage.get(), settings.stuffInfo ? &info : nullptr,
                    settings.refined);
        if (settings.stuffInfo)
            paintOverlay(info, picture);
        else if (settings.addFields)
            paintColourOfSum(velx[before], vely[before], velx[now], vely[now],
                             sumX, sumY, picture);
        else
            paintColour(velx[now], vely[now], picture);
        printPosition(source.position());
        sink.show(shown);
        sink.record(shown);
        if (sink.keyPressed())
            break;
    }
    return 0;
}

// runLoop's worker count for the serial loop.
constexpr int kSerial = 0;

LoopRun runLoop(SceneSource& source, KeepingSink& sink, const std::string& mode,
                int workers)
{
    FrameLoopSettings settings;
    settings.frameSize = cv::Size(kWidth, kHeight);
    settings.stuffInfo = mode == "/si";
    settings.addFields = mode == "/av";
    settings.storageBlockSize = 0;
    settings.shownSource = "scene.avi";
    settings.workers = workers;
    LoopRun run;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
        run.status = workers == kSerial ? serialLoop(source, sink, settings)
                                        : runFrameLoop(source, sink, settings);
    } catch (const std::exception& e) {
        run.thrown = e.what();
    }
    run.err = ::testing::internal::GetCapturedStderr();
    run.out = ::testing::internal::GetCapturedStdout();
    run.shown = sink.shown;
    run.recorded = sink.recorded;
    run.reads = source.reads;
    return run;
}

void expectSamePictures(const std::vector<cv::Mat>& a,
                        const std::vector<cv::Mat>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "picture " << i + 1);
        ASSERT_EQ(a[i].size(), b[i].size());
        ASSERT_EQ(a[i].type(), b[i].type());
        EXPECT_EQ(cv::norm(a[i], b[i], cv::NORM_INF), 0.0);
    }
}

// Every run of the pipeline against the serial loop on the same input.
void expectSameAsSerial(const LoopRun& serial, const LoopRun& piped)
{
    EXPECT_EQ(piped.status, serial.status);
    EXPECT_EQ(piped.thrown.empty(), serial.thrown.empty()) << piped.thrown;
    EXPECT_EQ(piped.out, serial.out);
    EXPECT_EQ(piped.err, serial.err);
    expectSamePictures(piped.shown, serial.shown);
    expectSamePictures(piped.recorded, serial.recorded);
}

struct LoopCase {
    std::string mode; // "", "/av" or "/si"
    int workers;
};

void PrintTo(const LoopCase& c, std::ostream* os)
{
    *os << (c.mode.empty() ? "colour" : c.mode) << " " << c.workers
        << " workers";
}

class FramePipeline : public ::testing::TestWithParam<LoopCase> {};

TEST_P(FramePipeline, HandsOnTheSameLinesAndPicturesAsTheSerialLoop)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource serialSource, pipedSource;
    KeepingSink serialSink, pipedSink;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    ASSERT_EQ(serial.status, 0);
    ASSERT_EQ(serial.recorded.size(), static_cast<std::size_t>(kFrames));
    expectSameAsSerial(serial, piped);
    expectSamePictures(piped.recorded, piped.shown);
    // The pictures are not all alike, so equality above means something.
    EXPECT_GT(cv::norm(serial.recorded[1], serial.recorded[5], cv::NORM_INF),
              0.0);
}

TEST_P(FramePipeline, KeyEndsTheRunAfterThatFrameWithFewFramesRead)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    constexpr int kKeyAt = 3;
    constexpr int kLongClip = 60;
    SceneSource serialSource(kLongClip), pipedSource(kLongClip);
    KeepingSink serialSink, pipedSink;
    serialSink.keyAt = pipedSink.keyAt = kKeyAt;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    EXPECT_EQ(serial.recorded.size(), static_cast<std::size_t>(kKeyAt));
    expectSameAsSerial(serial, piped);
    // Frames in flight are bounded: the decoder stays a few frames ahead.
    EXPECT_LE(piped.reads, kKeyAt + c.workers + 6);
}

TEST_P(FramePipeline, FrameOfAnotherSizeEndsTheRunAfterTheFramesBefore)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource serialSource, pipedSource;
    serialSource.badAt = pipedSource.badAt = 5;
    KeepingSink serialSink, pipedSink;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    EXPECT_EQ(serial.status, -1);
    EXPECT_EQ(serial.recorded.size(), 4u);
    EXPECT_EQ(serial.err, "Frame 5 of scene.avi is 96 x 36, not 96 x 72 like "
                          "the video: frames of changing size cannot be "
                          "compared\n");
    expectSameAsSerial(serial, piped);
}

TEST_P(FramePipeline, FailingSourceIsThrownAfterTheFramesBefore)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource serialSource, pipedSource;
    serialSource.throwAt = pipedSource.throwAt = 4;
    KeepingSink serialSink, pipedSink;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    EXPECT_NE(serial.thrown.find("the source failed"), std::string::npos);
    EXPECT_EQ(piped.thrown, serial.thrown);
    EXPECT_EQ(serial.recorded.size(), 3u);
    expectSameAsSerial(serial, piped);
}

TEST_P(FramePipeline, FailingRecordingIsThrownAtTheSameFrame)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource serialSource, pipedSource;
    KeepingSink serialSink, pipedSink;
    serialSink.failAt = pipedSink.failAt = 3;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    EXPECT_EQ(serial.thrown, "the writer failed");
    EXPECT_EQ(piped.thrown, serial.thrown);
    EXPECT_EQ(serial.shown.size(), 3u);
    EXPECT_EQ(serial.recorded.size(), 2u);
    expectSameAsSerial(serial, piped);
}

TEST_P(FramePipeline, FailingWindowIsThrownAtTheSameFrame)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource serialSource, pipedSource;
    KeepingSink serialSink, pipedSink;
    serialSink.showFailAt = pipedSink.showFailAt = 4;
    const LoopRun serial = runLoop(serialSource, serialSink, c.mode, kSerial);
    const LoopRun piped = runLoop(pipedSource, pipedSink, c.mode, c.workers);

    EXPECT_EQ(serial.thrown, "the window failed");
    EXPECT_EQ(piped.thrown, serial.thrown);
    EXPECT_EQ(serial.recorded.size(), 3u);
    expectSameAsSerial(serial, piped);
}

TEST_P(FramePipeline, VideoWithoutFramesEndsAtOnce)
{
    const LoopCase& c = GetParam();
    SCOPED_TRACE(::testing::PrintToString(c));
    SceneSource source(0);
    KeepingSink sink;
    const LoopRun run = runLoop(source, sink, c.mode, c.workers);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.shown.empty());
    EXPECT_TRUE(run.recorded.empty());
    EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FramePipeline,
    ::testing::Values(LoopCase{"", 1}, LoopCase{"", 2}, LoopCase{"", 4},
                      LoopCase{"/av", 1}, LoopCase{"/av", 2},
                      LoopCase{"/av", 3}, LoopCase{"/si", 1},
                      LoopCase{"/si", 2}, LoopCase{"/si", 4}),
    [](const ::testing::TestParamInfo<LoopCase>& info) {
        return paramName(
            (info.param.mode.empty() ? "colour" : info.param.mode) + " " +
            std::to_string(info.param.workers) + " workers");
    });

// ---- The program on one thread and on two --------------------------------

class FramePipelineProgram : public ::testing::TestWithParam<std::string> {};

// The same clip run with OPENCV_FOR_THREADS_NUM=1 (one worker) and =2 (two
// workers): the same output and the same recorded file, byte for byte (the
// writer's encoding is deterministic).
TEST_P(FramePipelineProgram, RecordsTheSameFileOnOneThreadAndOnTwo)
{
    const std::string option = GetParam();
    SCOPED_TRACE(option);
    const std::string dir = testRunDir();
    const ProcessResult made =
        runProgram(dir, OF_ULK_CLIP_MAKER, {"clip.avi", "160", "120", "16"});
    ASSERT_EQ(made.status, 0) << made.err;

    std::vector<std::string> args{"clip.avi", "/r"};
    if (!option.empty())
        args.push_back(option);
    const ProcessResult serial =
        runProgram(dir, OF_ULK_BINARY, args, "OPENCV_FOR_THREADS_NUM=1");
    const std::string serialFile = readFileBytes(dir + "/clip_out.avi");
    const ProcessResult piped =
        runProgram(dir, OF_ULK_BINARY, args, "OPENCV_FOR_THREADS_NUM=2");
    const std::string pipedFile = readFileBytes(dir + "/clip_out.avi");

    EXPECT_EQ(serial.status, 0) << serial.err;
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, serial.out);
    EXPECT_EQ(piped.err, serial.err);
    EXPECT_GT(serialFile.size(), 0u);
    EXPECT_TRUE(pipedFile == serialFile) << "the recorded files differ";
}

INSTANTIATE_TEST_SUITE_P(Options, FramePipelineProgram,
                         ::testing::Values("", "/av", "/si"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param.empty() ? std::string("colour")
                                                       : paramName(info.param);
                         });

} // namespace
