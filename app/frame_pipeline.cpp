#include "frame_pipeline.h"

#include "frame_steps.h"
#include "image_holder.h"

#include <opencv2/core/core_c.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
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

// The picture of frame `number` from its data and the previous frame's
// field; odd frames keep their field where the /av sum takes its second
// term, even ones where it takes its first, as the serial loop always did.
void paint(const FrameLoopSettings& settings, long number, FrameData& now,
           const cv::Mat& previousX, const cv::Mat& previousY, FieldSum& sum,
           viz::ImageHolder& result)
{
    if (settings.stuffInfo) {
        paintOverlay(now.info, result);
    } else if (settings.addFields && number % 2 == 1) {
        paintColourOfSum(previousX, previousY, now.velx, now.vely, sum.x, sum.y,
                         result);
    } else if (settings.addFields) {
        paintColourOfSum(now.velx, now.vely, previousX, previousY, sum.x, sum.y,
                         result);
    } else {
        paintColour(now.velx, now.vely, result);
    }
}

// One frame after the other on the calling thread: read, grey, flow,
// picture, position line, show, record, key.
int runSerial(FrameSource& source, FrameSink& sink,
              const FrameLoopSettings& settings)
{
    FrameData frames[2] = {{settings.frameSize, settings.storageBlockSize},
                           {settings.frameSize, settings.storageBlockSize}};
    Picture picture(settings.frameSize);
    FieldSum sum(settings.frameSize, settings.addFields);
    const cv::Mat shown = picture.shown();
    cv::Mat frame;
    for (long number = 1; source.read(frame); ++number) {
        FrameData& now = frames[number % 2];
        FrameData& before = frames[(number + 1) % 2];
        const std::string problem =
            frameToGrey(frame, now.grey, number, settings.shownSource);
        if (!problem.empty()) {
            printProblem(problem);
            return -1;
        }
        computeFlow(before.grey, now.grey, now.velx, now.vely, now.storage,
                    settings.stuffInfo ? &now.info : nullptr, settings.refined);
        paint(settings, number, now, before.velx, before.vely, sum,
              picture.result);
        printPosition(source.position());
        sink.show(shown);
        sink.record(shown);
        if (sink.keyPressed())
            break;
    }
    return 0;
}

// The pipelined loop. Frame n lives in slot n mod slotCount from its
// decoding until it is recorded and the next pair no longer reads its grey
// image and field. A slot passes from the decoder (Free) to a worker
// (Decoded, Computing), which computes the flow and paints the colour
// picture, to the calling thread (Computed), which shows it, to the
// recording thread (Shown) and back; whoever holds a slot in its state is
// the only one to touch its data, and every change of state happens under
// one mutex.
class PipelinedLoop {
  public:
    PipelinedLoop(FrameSource& source, FrameSink& sink,
                  const FrameLoopSettings& settings)
        : source_(source), sink_(sink), settings_(settings),
          slotCount_(settings.workers + kExtraFramesInFlight),
          slots_(new Slot[static_cast<std::size_t>(slotCount_)]),
          firstGrey_(cv::Mat::zeros(settings.frameSize, CV_8UC1)),
          firstX_(cv::Mat::zeros(settings.frameSize, CV_32FC1)),
          firstY_(cv::Mat::zeros(settings.frameSize, CV_32FC1))
    {
        for (int i = 0; i < slotCount_; ++i) {
            slots_[i].data = std::make_unique<FrameData>(
                settings.frameSize, settings.storageBlockSize);
            slots_[i].picture = std::make_unique<Picture>(settings.frameSize);
        }
    }

    // Stops and waits for every thread, whatever ended the run.
    ~PipelinedLoop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }

    PipelinedLoop(const PipelinedLoop&) = delete;
    PipelinedLoop& operator=(const PipelinedLoop&) = delete;

    int run();

  private:
    enum class State { Free, Decoded, Computing, Computed, Shown, Ended };

    struct Slot {
        State state = State::Free;
        long number = 0;          // the frame held, counted from 1
        double position = 0.0;    // film position when it was read
        std::string problem;      // why the run ends at this frame
        std::exception_ptr error; // what its reading or its flow threw
        bool fieldDone = false;   // its field is computed
        bool nextDone = false;    // the next pair has read it
        bool recorded = false;    // its picture is recorded
        std::unique_ptr<FrameData> data;
        std::unique_ptr<Picture> picture;
    };

    Slot& slotOf(long number) { return slots_[number % slotCount_]; }
    // With the mutex held: frees a slot once nobody needs it any more.
    void freeIfDone(Slot& slot)
    {
        if (slot.recorded && slot.nextDone)
            slot.state = State::Free;
    }
    void decode();
    void work();
    void record();
    void computeAndPaint(long number, Slot& slot, FieldSum& sum);
    // Waits until every frame up to `number` is recorded, and rethrows a
    // failure of the recording.
    void waitRecorded(std::unique_lock<std::mutex>& lock, long number);

    FrameSource& source_;
    FrameSink& sink_;
    const FrameLoopSettings& settings_;
    const int slotCount_;
    std::unique_ptr<Slot[]> slots_;
    // The older frame of the first pair and the field before the first.
    const cv::Mat firstGrey_, firstX_, firstY_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    long nextPair_ = 1;     // the next pair a worker takes
    long recordedUpTo_ = 0; // every frame up to this one is recorded
    std::exception_ptr recordError_;
    std::vector<std::thread> threads_;
};

// Reads frame after frame into free slots and turns it to grey; the end of
// the video, a frame that cannot be processed or a throw ends the reading
// and is handed on in the frame's slot.
void PipelinedLoop::decode()
{
    cv::Mat frame;
    for (long number = 1;; ++number) {
        Slot& slot = slotOf(number);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(
                lock, [&] { return stopping_ || slot.state == State::Free; });
            if (stopping_)
                return;
        }
        bool ended = false;
        double position = 0.0;
        std::string problem;
        std::exception_ptr error;
        try {
            ended = !source_.read(frame);
            if (!ended) {
                position = source_.position();
                problem = frameToGrey(frame, slot.data->grey, number,
                                      settings_.shownSource);
            }
        } catch (...) {
            error = std::current_exception();
        }
        ended = ended || !problem.empty() || error != nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.number = number;
            slot.position = position;
            slot.problem = std::move(problem);
            slot.error = error;
            slot.fieldDone = slot.nextDone = slot.recorded = false;
            slot.state = ended ? State::Ended : State::Decoded;
        }
        changed_.notify_all();
        if (ended)
            return;
    }
}

// The flow of pair `number` and, without the overlay, its colour picture;
// with /av the picture waits for the previous field.
void PipelinedLoop::computeAndPaint(long number, Slot& slot, FieldSum& sum)
{
    const bool first = number == 1;
    Slot* before = first ? nullptr : &slotOf(number - 1);
    FrameData& now = *slot.data;
    computeFlow(first ? firstGrey_ : before->data->grey, now.grey, now.velx,
                now.vely, now.storage,
                settings_.stuffInfo ? &now.info : nullptr, settings_.refined);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.fieldDone = true;
    }
    changed_.notify_all();
    if (settings_.stuffInfo)
        return;
    if (settings_.addFields && before != nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || before->fieldDone; });
        if (stopping_)
            return;
    }
    paint(settings_, number, now, first ? firstX_ : before->data->velx,
          first ? firstY_ : before->data->vely, sum, slot.picture->result);
}

// Takes the pairs in order until the decoder has ended or the run stops.
void PipelinedLoop::work()
{
    FieldSum sum(settings_.frameSize, settings_.addFields);
    for (;;) {
        long number = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                const Slot& next = slotOf(nextPair_);
                return stopping_ ||
                       (next.number == nextPair_ && next.state != State::Free);
            });
            Slot& next = slotOf(nextPair_);
            if (stopping_ || next.state != State::Decoded)
                return;
            next.state = State::Computing;
            number = nextPair_++;
        }
        Slot& slot = slotOf(number);
        std::exception_ptr error;
        try {
            computeAndPaint(number, slot, sum);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A failed pair still lets the next one go on to its end; the
            // previous frame is no longer read.
            slot.fieldDone = true;
            if (number > 1) {
                slotOf(number - 1).nextDone = true;
                freeIfDone(slotOf(number - 1));
            }
            slot.error = error;
            slot.state = State::Computed;
        }
        changed_.notify_all();
    }
}

// Hands the shown pictures to the sink's recording, in order; the first
// failure ends the recording and is rethrown by the calling thread.
void PipelinedLoop::record()
{
    for (long number = 1;; ++number) {
        Slot& slot = slotOf(number);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                return stopping_ ||
                       (slot.number == number && slot.state == State::Shown);
            });
            if (stopping_)
                return;
        }
        std::exception_ptr error;
        try {
            sink_.record(slot.picture->shown());
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (error) {
                recordError_ = error;
            } else {
                recordedUpTo_ = number;
                slot.recorded = true;
                freeIfDone(slot);
            }
        }
        changed_.notify_all();
        if (error)
            return;
    }
}

void PipelinedLoop::waitRecorded(std::unique_lock<std::mutex>& lock,
                                 long number)
{
    changed_.wait(lock,
                  [&] { return recordError_ || recordedUpTo_ >= number; });
    if (recordError_)
        std::rethrow_exception(recordError_);
}

int PipelinedLoop::run()
{
    threads_.emplace_back(&PipelinedLoop::decode, this);
    for (int i = 0; i < settings_.workers; ++i)
        threads_.emplace_back(&PipelinedLoop::work, this);
    threads_.emplace_back(&PipelinedLoop::record, this);

    // The overlay is drawn over the previous one, so it has one picture of
    // its own that every frame's picture copies.
    std::unique_ptr<Picture> overlay;
    if (settings_.stuffInfo)
        overlay = std::make_unique<Picture>(settings_.frameSize);
    for (long number = 1;; ++number) {
        Slot& slot = slotOf(number);
        {
            // Every earlier frame is recorded before this one goes on, as
            // in the serial loop, so a failed recording stops at the same
            // frame.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                return recordError_ || (slot.number == number &&
                                        (slot.state == State::Computed ||
                                         slot.state == State::Ended));
            });
            waitRecorded(lock, number - 1);
        }
        if (slot.error)
            std::rethrow_exception(slot.error);
        if (slot.state == State::Ended) {
            if (slot.problem.empty())
                return 0;
            printProblem(slot.problem);
            return -1;
        }

        if (overlay) {
            paintOverlay(slot.data->info, overlay->result);
            cvCopy(overlay->result.image(), slot.picture->result.image());
        }
        printPosition(slot.position);
        sink_.show(slot.picture->shown());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.state = State::Shown;
        }
        changed_.notify_all();
        if (sink_.keyPressed()) {
            std::unique_lock<std::mutex> lock(mutex_);
            waitRecorded(lock, number);
            return 0;
        }
    }
}

} // namespace

int runFrameLoop(FrameSource& source, FrameSink& sink,
                 const FrameLoopSettings& settings)
{
    if (settings.workers <= 1)
        return runSerial(source, sink, settings);
    PipelinedLoop loop(source, sink, settings);
    return loop.run();
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
