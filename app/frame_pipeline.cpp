#include "frame_pipeline.h"

#include "frame_steps.h"
#include "image_holder.h"
#include "interrupt_watch.h"
#include "ordered_pipeline.h"

#include <opencv2/core/core_c.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ulk::viewer {

namespace {

// Frames in flight besides the one of each worker: one decoded ahead, one
// waiting to be shown, one being recorded and the one before it (the next
// pair still reads its grey image and field).
constexpr int kExtraFramesInFlight = 4;
// Workers at most: each adds a frame in flight (grey image, field, picture
// and storage), and beyond this the steps taken in order (show, record)
// set the pace anyway.
constexpr int kMostWorkers = 8;

// A picture as shown and recorded, all black at first.
struct Picture {
    viz::ImageHolder result;

    explicit Picture(cv::Size size)
    {
        result.create(size.width, size.height, IPL_DEPTH_8U, 3);
        cvSetZero(result.image());
    }
    cv::Mat shown() const { return cv::cvarrToMat(result.image()); }
};

// Where the /av sum of two fields is kept; empty without /av.
struct FieldSum {
    cv::Mat x, y;

    FieldSum(cv::Size size, bool addFields)
    {
        if (addFields) {
            x = cv::Mat::zeros(size, CV_32FC1);
            y = cv::Mat::zeros(size, CV_32FC1);
        }
    }
};

// Everything one frame pair needs and gives: the newer frame's grey image,
// the field computed from the older one and the engine's records, which
// live in the storage until the next call.
struct FrameData {
    cv::Mat grey;
    cv::Mat velx, vely;
    CvMemStorage* storage = nullptr;
    StuffInfo info{};

    FrameData(cv::Size size, int blockSize)
        : grey(cv::Mat::zeros(size, CV_8UC1)),
          velx(cv::Mat::zeros(size, CV_32FC1)),
          vely(cv::Mat::zeros(size, CV_32FC1)),
          storage(cvCreateMemStorage(blockSize))
    {
    }
    ~FrameData() { cvReleaseMemStorage(&storage); }
    FrameData(const FrameData&) = delete;
    FrameData& operator=(const FrameData&) = delete;
};

// The colour picture of frame `number` from its field and the previous
// frame's; with /av odd frames keep their field where the sum takes its
// second term, even ones where it takes its first, as the program always
// did.
void paint(const FrameLoopSettings& settings, long number, FrameData& now,
           const FrameData& before, FieldSum& sum, viz::ImageHolder& result)
{
    if (!settings.addFields)
        paintColour(now.velx, now.vely, result);
    else if (number % 2 == 1)
        paintColourOfSum(before.velx, before.vely, now.velx, now.vely, sum.x,
                         sum.y, result);
    else
        paintColourOfSum(now.velx, now.vely, before.velx, before.vely, sum.x,
                         sum.y, result);
}

// Frame n (from 1) as item n - 1 of the pipeline: its film position, its
// data and its picture, made once per slot.
struct FrameSlot {
    double position = 0.0;
    FrameData data;
    Picture picture;

    FrameSlot(cv::Size size, int blockSize)
        : data(size, blockSize), picture(size)
    {
    }
};

// A frame that cannot be processed: the decoding throws it in the frame's
// place, so that the frames before it are shown and recorded first.
struct FrameProblem {
    std::string message;
};

// While alive, a stop signal stops the pipeline as a key would, after the
// frame in hand; the watch is told to forget the pipeline before it goes.
class StopOnSignal {
  public:
    template <class Pipeline>
    StopOnSignal(frontend::InterruptWatch* watch, Pipeline& pipeline)
        : watch_(watch)
    {
        if (watch_ != nullptr)
            watch_->setCallback([&pipeline](int) { pipeline.stop(); });
    }
    ~StopOnSignal()
    {
        if (watch_ != nullptr)
            watch_->setCallback(nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

  private:
    frontend::InterruptWatch* watch_;
};

} // namespace

// One thread decodes ahead and turns each frame to grey, the workers compute
// the flow and the colour picture of several frames at once, the calling
// thread prints and shows every frame in order and one more thread records
// them in order. A frame's slot stays until the next frame's flow has read
// its grey image and, with /av, its field.
int runFrameLoop(FrameSource& source, FrameSink& sink,
                 const FrameLoopSettings& settings,
                 frontend::InterruptWatch* watch)
{
    const int workers = std::max(settings.workers, 1);
    // The older frame of the first pair and the field before the first:
    // black and still.
    const FrameData first(settings.frameSize, 0);
    std::vector<FieldSum> sums; // one per worker
    for (int i = 0; i < workers; ++i)
        sums.emplace_back(settings.frameSize, settings.addFields);
    cv::Mat frame;
    frontend::OrderedPipeline<FrameSlot> pipeline(
        {workers, workers + kExtraFramesInFlight, true}, settings.frameSize,
        settings.storageBlockSize);
    auto decode = [&](long index, FrameSlot& slot) {
        if (!source.read(frame))
            return false;
        slot.position = source.position();
        std::string problem =
            frameToGrey(frame, slot.data.grey, index + 1, settings.shownSource);
        if (!problem.empty())
            throw FrameProblem{std::move(problem)};
        return true;
    };
    auto work = [&](long index, FrameSlot& slot, int worker) {
        const FrameData& before =
            index == 0 ? first : pipeline.slotOf(index - 1).data;
        FrameData& now = slot.data;
        computeFlow(before.grey, now.grey, now.velx, now.vely, now.storage,
                    settings.stuffInfo ? &now.info : nullptr, settings.refined);
        if (settings.stuffInfo || (settings.addFields && index > 0 &&
                                   !pipeline.waitWorked(index - 1)))
            return;
        paint(settings, index + 1, now, before,
              sums[static_cast<std::size_t>(worker)], slot.picture.result);
    };
    auto record = [&](long, FrameSlot& slot) {
        sink.record(slot.picture.shown());
    };
    pipeline.start(decode, work, {record});
    const StopOnSignal stopOnSignal(watch, pipeline);

    // The overlay is drawn over the previous one, so it has one picture of
    // its own that every frame's picture copies.
    std::unique_ptr<Picture> overlay;
    if (settings.stuffInfo)
        overlay = std::make_unique<Picture>(settings.frameSize);
    try {
        while (FrameSlot* slot = pipeline.next()) {
            if (overlay) {
                paintOverlay(slot->data.info, overlay->result);
                cvCopy(overlay->result.image(), slot->picture.result.image());
            }
            printPosition(slot->position);
            sink.show(slot->picture.shown());
            pipeline.pass();
            if (sink.keyPressed())
                break;
        }
        pipeline.finish();
    } catch (const FrameProblem& problem) {
        printProblem(problem.message);
        return -1;
    }
    return 0;
}

int frameLoopWorkers()
{
    return std::min(cv::getNumThreads(), kMostWorkers);
}

void applyThreadSetting()
{
    const char* text = std::getenv("OPENCV_FOR_THREADS_NUM");
    if (text == nullptr || *text == '\0')
        return;
    char* end = nullptr;
    const long threads = std::strtol(text, &end, 10);
    if (*end != '\0' || threads < 1)
        return;
    // More threads than cores would only oversubscribe, and TBB warns.
    const long cores = cv::getNumberOfCPUs();
    cv::setNumThreads(static_cast<int>(std::min(threads, cores)));
}

} // namespace ulk::viewer
