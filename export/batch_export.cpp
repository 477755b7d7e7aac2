#include "batch_export.h"

#include "atomic_file.h"
#include "collection_list.h"
#include "collection_run.h"
#include "flo_file.h"
#include "flow_wheel.h"
#include "interrupt_watch.h"
#include "progress.h"
#include "xy_coding.h"

#include "cvoptflowulk.h"
#include "image_holder.h"
#include "velocity_colour.h"

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>
#include <unistd.h>

namespace ulk::exporter {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Pairs allowed between reading and writing, per worker: enough to keep
// every worker busy while the writer catches up, few enough to bound the
// memory held by frames and encoded images.
constexpr int kPairsInFlightPerWorker = 2;
// Shortest time between two progress lines.
constexpr double kProgressInterval = 0.25;
// Quality of the xy JPEG images: OpenCV's default, stated so that the
// files do not change with it.
constexpr int kXyJpegQuality = 95;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct PairJob {
    long index = 0;
    cv::Mat older; // CV_8UC1
    cv::Mat newer; // CV_8UC1
};

struct PairResult {
    cv::Mat flow; // CV_32FC2: x and y velocity
    std::vector<uchar> colourPng;
    std::vector<uchar> wheelPng;
    std::vector<uchar> xImage; // xy format: the encoded x and y images
    std::vector<uchar> yImage;
    double engineSeconds = 0.0;
};

// A memory storage that is released with its owner.
class StorageHandle {
  public:
    StorageHandle() : storage_(cvCreateMemStorage(0)) {}
    ~StorageHandle() { cvReleaseMemStorage(&storage_); }
    StorageHandle(const StorageHandle&) = delete;
    StorageHandle& operator=(const StorageHandle&) = delete;
    CvMemStorage* get() const { return storage_; }

  private:
    CvMemStorage* storage_;
};

// Reader (the calling thread), workers and the writer thread share this
// state. The reader hands out jobs in frame order; workers compute them in
// any order; the writer takes the results back in frame order.
class Pipeline {
  public:
    Pipeline(const ExportOptions& options, long expectedPairs,
             bool expectedExact, std::ostream& progress,
             std::function<void(long)> onProgress)
        : options_(options), expectedPairs_(expectedPairs),
          expectedExact_(expectedExact), progress_(progress),
          onProgress_(std::move(onProgress))
    {
        workers_ = options.jobs > 0 ? options.jobs : defaultJobCount();
        capacity_ = kPairsInFlightPerWorker * workers_ + 1;
    }

    ExportResult run(FrameSource& source, InterruptWatch* watch)
    {
        start_ = Clock::now();
        watch_ = watch;
        if (watch != nullptr)
            watch->setCallback([this](int signal) { interrupt(signal); });
        std::vector<std::thread> threads;
        for (int i = 0; i < workers_; ++i)
            threads.emplace_back([this] { workerLoop(); });
        std::thread writer([this] { writerLoop(); });

        readLoop(source);

        writer.join();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopWorkers_ = true;
        }
        jobReady_.notify_all();
        for (std::thread& t : threads)
            t.join();
        if (watch != nullptr)
            watch->setCallback(nullptr);

        ExportResult result;
        result.pairs = written_;
        result.seconds = secondsSince(start_);
        result.engineSeconds = engineSeconds_;
        result.workers = workers_;
        result.error = error_.empty() ? readError_ : error_;
        result.signal = signal_;
        result.warning = warning_;
        result.partialFiles = partialFiles_;
        bool complete = result.error.empty() && result.signal == 0;
        if (!options_.quiet && (progressShown_ || complete)) {
            long total = complete ? written_ : expectedPairs_;
            bool exact = complete || expectedExact_;
            progress_ << '\r'
                      << formatProgress(written_, total, exact, result.seconds)
                      << "          \n";
            progress_.flush();
        }
        return result;
    }

  private:
    // A stop signal: nothing new is read or computed, the writer finishes
    // the pair in hand and stops.
    void interrupt(int signal)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (signal_ == 0)
                signal_ = signal;
        }
        jobReady_.notify_all();
        resultReady_.notify_all();
        slotFree_.notify_all();
    }

    // Whether the run stops early; the caller holds mutex_.
    bool stopping() const { return failed_ || signal_ != 0; }

    void fail(const std::string& message)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (error_.empty())
                error_ = message;
            failed_ = true;
        }
        jobReady_.notify_all();
        resultReady_.notify_all();
        slotFree_.notify_all();
    }

    // Reads frames, brings them to the flow size, pairs each with the frame
    // options.step before it and queues the pairs.
    void readLoop(FrameSource& source)
    {
        std::deque<cv::Mat> recent; // the last options.step frames
        cv::Size readSize;          // of the frames as read
        cv::Size flowSize;          // of the frames given to the engine
        long frames = 0;
        long pairs = 0;
        std::string error;
        bool stopped = false;
        while (options_.maxPairs == 0 || pairs < options_.maxPairs) {
            // The watch's flag is set by the time a signal handler returns,
            // before its thread passes the signal on.
            if (watch_ != nullptr && watch_->signal() != 0)
                interrupt(watch_->signal());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stopped = stopping();
            }
            if (stopped)
                break;
            cv::Mat grey;
            FrameSource::Read status;
            try {
                status = source.next(grey, error);
            } catch (const std::exception& e) {
                status = FrameSource::Read::Error;
                error = std::string("cannot read frame ") +
                        std::to_string(frames) + ": " + e.what();
            }
            if (status == FrameSource::Read::Error) {
                endInput(error);
                break;
            }
            if (status == FrameSource::Read::End) {
                noteShortVideo(source, frames);
                break;
            }
            if (frames > 0 && grey.size() != readSize) {
                endInput("frame " + std::to_string(frames) + " is " +
                         std::to_string(grey.cols) + "x" +
                         std::to_string(grey.rows) + " but frame " +
                         std::to_string(frames - 1) + " is " +
                         std::to_string(readSize.width) + "x" +
                         std::to_string(readSize.height));
                break;
            }
            if (frames == 0) {
                readSize = grey.size();
                flowSize =
                    flowFrameSize(readSize, options_.resizeWidth,
                                  options_.resizeHeight, options_.shortSide);
            }
            if (flowSize != readSize)
                grey = resizedFrame(grey, flowSize);
            if (static_cast<long>(recent.size()) == options_.step) {
                std::unique_lock<std::mutex> lock(mutex_);
                slotFree_.wait(
                    lock, [&] { return stopping() || inFlight_ < capacity_; });
                if (stopping()) {
                    stopped = true;
                    break;
                }
                ++inFlight_;
                jobs_.push_back(PairJob{pairs, recent.front(), grey});
                ++submitted_;
                ++pairs;
                lock.unlock();
                jobReady_.notify_one();
                recent.pop_front();
            }
            recent.push_back(grey);
            ++frames;
        }
        std::string tooFew;
        if (frames <= options_.step && !stopped)
            tooFew = options_.step == 1
                         ? "the input holds fewer than two frames"
                         : "the input holds " + std::to_string(frames) +
                               " frames, fewer than the " +
                               std::to_string(options_.step + 1) +
                               " that --step " + std::to_string(options_.step) +
                               " needs";
        endInput(tooFew);
    }

    // A video whose frames ran out before the count its header declares
    // may be cut short or damaged: its last pair may be computed from a
    // damaged frame.
    void noteShortVideo(const FrameSource& source, long frames)
    {
        long declared = source.frameCount();
        if (declared <= 0 || frames >= declared)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        warning_ = "the video header declares " + std::to_string(declared) +
                   " frames but only " + std::to_string(frames) +
                   " were read; the file may be cut short or damaged";
    }

    // Ends the input, with a reason when reading failed. The pairs read
    // before the failure are still computed and written; the reason is
    // reported after them.
    void endInput(const std::string& readError)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!inputDone_ && readError_.empty())
                readError_ = readError;
            inputDone_ = true;
        }
        resultReady_.notify_all();
    }

    void workerLoop()
    {
        StorageHandle storage;
        cv::Mat velx;
        cv::Mat vely;
        viz::ImageHolder colour;
        for (;;) {
            PairJob job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                jobReady_.wait(lock, [&] {
                    return stopping() || stopWorkers_ || !jobs_.empty();
                });
                if (stopping() || jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            try {
                PairResult result =
                    computePair(job, storage.get(), velx, vely, colour);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    results_.emplace(job.index, std::move(result));
                }
                resultReady_.notify_all();
            } catch (const cv::Exception& e) {
                fail("flow of pair " + std::to_string(job.index) +
                     " failed: " + e.err + " (" + e.func + ")");
            } catch (const std::exception& e) {
                fail("flow of pair " + std::to_string(job.index) +
                     " failed: " + e.what());
            }
        }
    }

    PairResult computePair(const PairJob& job, CvMemStorage* storage,
                           cv::Mat& velx, cv::Mat& vely,
                           viz::ImageHolder& colour)
    {
        velx.create(job.newer.size(), CV_32FC1);
        vely.create(job.newer.size(), CV_32FC1);
        CvMat srcA = cvMat(job.older);
        CvMat srcB = cvMat(job.newer);
        CvMat vx = cvMat(velx);
        CvMat vy = cvMat(vely);

        PairResult result;
        Clock::time_point t0 = Clock::now();
        cvCalcOpticalFlowULKRefined(&srcA, &srcB, &vx, &vy, storage, nullptr,
                                    options_.refined ? CV_ULK_REFINED_DEFAULT
                                                     : 0);
        result.engineSeconds = secondsSince(t0);

        cv::Mat channels[] = {velx, vely};
        cv::merge(channels, 2, result.flow);

        if (options_.png) {
            if (colour.width() != velx.cols || colour.height() != velx.rows)
                colour.create(velx.cols, velx.rows, IPL_DEPTH_8U, 3);
            viz::renderVelocityColour(&vx, &vy, viz::kColourFactorSingle,
                                      colour);
            cv::imencode(".png", cv::cvarrToMat(colour.image()),
                         result.colourPng);
        }
        if (options_.format == FieldFormat::Xy) {
            const std::string ext = options_.xyPng ? ".png" : ".jpg";
            const std::vector<int> params =
                options_.xyPng ? std::vector<int>()
                               : std::vector<int>{cv::IMWRITE_JPEG_QUALITY,
                                                  kXyJpegQuality};
            cv::imencode(ext, xyComponentImage(velx, options_.bound),
                         result.xImage, params);
            cv::imencode(ext, xyComponentImage(vely, options_.bound),
                         result.yImage, params);
        }
        if (options_.wheel) {
            cv::Mat wheel = viz::renderFlowWheel(velx, vely, options_.maxSpeed);
            viz::drawWheelLegend(wheel, options_.legend);
            cv::imencode(".png", wheel, result.wheelPng);
        }
        return result;
    }

    // Takes the results back in pair order and writes their files.
    void writerLoop()
    {
        double lastProgress = -kProgressInterval;
        for (long next = 0;; ++next) {
            PairResult result;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                resultReady_.wait(lock, [&] {
                    return stopping() || results_.count(next) != 0 ||
                           (inputDone_ && next >= submitted_);
                });
                if (stopping() || results_.count(next) == 0)
                    return;
                result = std::move(results_[next]);
                results_.erase(next);
            }
            std::string error;
            if (!writePair(next, result, error)) {
                fail(error);
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++written_;
                engineSeconds_ += result.engineSeconds;
                --inFlight_;
            }
            slotFree_.notify_one();

            double elapsed = secondsSince(start_);
            if (onProgress_ && elapsed - lastProgress >= kProgressInterval) {
                lastProgress = elapsed;
                onProgress_(written_);
            } else if (!options_.quiet && !onProgress_ &&
                       elapsed - lastProgress >= kProgressInterval) {
                lastProgress = elapsed;
                long total = expectedPairs_ >= written_ ? expectedPairs_ : -1;
                progress_ << '\r'
                          << formatProgress(written_, total, expectedExact_,
                                            elapsed)
                          << "    ";
                progress_.flush();
                progressShown_ = true;
            }
        }
    }

    bool checkFree(const fs::path& path, std::string& error)
    {
        std::error_code ec;
        if (!options_.force && fs::exists(path, ec)) {
            error = "output file " + path.string() +
                    " exists (use --force to overwrite it)";
            return false;
        }
        return true;
    }

    // Writes one file of pair index through its temporary name and notes
    // it among the files of the pair in hand.
    bool writeOne(const fs::path& path,
                  const std::function<bool(const std::string&)>& write,
                  std::string& error)
    {
        if (!checkFree(path, error) ||
            !writeFileAtomically(path.string(), write, error))
            return false;
        partialFiles_.push_back(path.filename().string());
        return true;
    }

    bool writePair(long index, const PairResult& result, std::string& error)
    {
        fs::path dir(options_.outputDir);
        partialFiles_.clear();
        auto flo = [&result](const std::string& path) {
            std::string reason; // writeFileAtomically names the failure
            return viz::writeFlowFile(path, result.flow, reason);
        };
        auto bytes = [](const std::vector<uchar>& encoded) {
            return [&encoded](const std::string& path) {
                return writeWholeFile(path, encoded);
            };
        };
        if (options_.format == FieldFormat::Flo &&
            !writeOne(dir / flowFileName(index), flo, error))
            return false;
        if (options_.format == FieldFormat::Xy &&
            (!writeOne(dir / xFileName(index, options_.xyPng),
                       bytes(result.xImage), error) ||
             !writeOne(dir / yFileName(index, options_.xyPng),
                       bytes(result.yImage), error)))
            return false;
        if (options_.png && !writeOne(dir / colourFileName(index),
                                      bytes(result.colourPng), error))
            return false;
        if (options_.wheel && !writeOne(dir / wheelFileName(index),
                                        bytes(result.wheelPng), error))
            return false;
        partialFiles_.clear();
        return true;
    }

    const ExportOptions& options_;
    long expectedPairs_; // -1 when unknown
    bool expectedExact_;
    std::ostream& progress_;
    std::function<void(long)> onProgress_; // instead of the progress line
    InterruptWatch* watch_ = nullptr;
    int workers_ = 1;
    long capacity_ = 1;
    Clock::time_point start_;

    std::mutex mutex_;
    std::condition_variable jobReady_;
    std::condition_variable resultReady_;
    std::condition_variable slotFree_;
    std::deque<PairJob> jobs_;
    std::map<long, PairResult> results_;
    long inFlight_ = 0;  // pairs queued, in work or waiting to be written
    long submitted_ = 0; // pairs handed to the workers
    long written_ = 0;   // pairs whose files are written
    double engineSeconds_ = 0.0;
    bool inputDone_ = false;
    bool stopWorkers_ = false;
    bool failed_ = false;
    int signal_ = 0;             // the stop signal caught, 0 while none
    bool progressShown_ = false; // writer thread only, read after its join
    std::string error_;          // first failure of a worker or the writer
    std::string readError_;      // why the input ended early, if it did
    std::string warning_;        // a video shorter than its header says
    // Files of the pair being written that are already in place; writer
    // thread only, read after its join.
    std::vector<std::string> partialFiles_;
};

std::string numberedName(long index, const char* suffix,
                         const char* prefix = "flow_")
{
    char text[64];
    std::snprintf(text, sizeof text, "%s%06ld%s", prefix, index, suffix);
    return text;
}

// The pair number of an output file name of any kind (flow_000012.flo,
// flow_000012.png, flow_000012_wheel.png, x_000012.jpg, y_000012.png ...),
// or -1 for any other name.
long outputFilePair(const std::string& name)
{
    struct Kind {
        const char* prefix;
        const char* suffix;
    };
    static const Kind kKinds[] = {{"flow_", ".flo"},       {"flow_", ".png"},
                                  {"flow_", "_wheel.png"}, {"x_", ".jpg"},
                                  {"x_", ".png"},          {"y_", ".jpg"},
                                  {"y_", ".png"}};
    // Longest pair number read: more digits could overflow a long.
    constexpr size_t kMaxDigits = 18;
    for (const Kind& kind : kKinds) {
        const std::string prefix = kind.prefix;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        size_t end = prefix.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9')
            ++end;
        size_t digits = end - prefix.size();
        if (digits > 0 && digits <= kMaxDigits &&
            name.compare(end, std::string::npos, kind.suffix) == 0)
            return std::stol(name.substr(prefix.size(), digits));
    }
    return -1;
}

// A folder's path without a trailing separator, so that its parent is the
// folder above it.
fs::path folderPath(const std::string& dir)
{
    fs::path path = fs::path(dir).lexically_normal();
    if (path.filename().empty() && path.has_parent_path() &&
        path != path.root_path())
        path = path.parent_path();
    return path;
}

// Pairs the source will give, capped by --max-pairs; -1 when unknown.
long expectedPairs(const ExportOptions& options, const FrameSource& source)
{
    long pairs = source.frameCount() > 0
                     ? std::max(0L, source.frameCount() - options.step)
                     : -1;
    if (options.maxPairs > 0 && (pairs < 0 || pairs > options.maxPairs))
        pairs = options.maxPairs;
    return pairs;
}

// Says why a run ended before its input did and how much of it is on disk,
// and counts the files of an earlier run that are left after its pairs.
void reportEarlyEnd(const ExportResult& result, const std::string& dir,
                    const char* name, std::ostream& err)
{
    if (result.signal != 0)
        err << name << "interrupted by " << signalName(result.signal) << ": "
            << result.pairs << " pairs written, each of their files complete\n";
    else
        err << name << result.error << '\n'
            << name << result.pairs << " pairs written before the failure\n";
    std::vector<std::string> older =
        earlierRunFiles(dir, result.pairs, result.partialFiles);
    if (!older.empty())
        err << name << older.size()
            << " files of an earlier run remain after this run's pairs, from "
            << older.front() << " on; they are not from this run\n";
}

} // namespace

std::string flowFileName(long index)
{
    return numberedName(index, ".flo");
}

std::string colourFileName(long index)
{
    return numberedName(index, ".png");
}

std::string wheelFileName(long index)
{
    return numberedName(index, "_wheel.png");
}

std::string xFileName(long index, bool png)
{
    return numberedName(index, png ? ".png" : ".jpg", "x_");
}

std::string yFileName(long index, bool png)
{
    return numberedName(index, png ? ".png" : ".jpg", "y_");
}

std::vector<std::string> outputFileNames(const ExportOptions& options,
                                         long index)
{
    std::vector<std::string> names;
    if (options.format == FieldFormat::Flo)
        names.push_back(flowFileName(index));
    else
        names.insert(names.end(), {xFileName(index, options.xyPng),
                                   yFileName(index, options.xyPng)});
    if (options.png)
        names.push_back(colourFileName(index));
    if (options.wheel)
        names.push_back(wheelFileName(index));
    return names;
}

bool prepareOutputDir(const std::string& dir, std::string& error,
                      std::string* created)
{
    std::error_code ec;
    fs::path path = folderPath(dir);
    if (fs::exists(path, ec) && !fs::is_directory(path, ec)) {
        error = "output folder " + dir + " is not a folder";
        return false;
    }
    std::string outermostMissing;
    if (!fs::exists(path, ec)) {
        // The outermost folder that is missing is the one to remove again
        // if the run writes nothing.
        fs::path outermost = path;
        for (fs::path up = path.parent_path();
             !up.empty() && up != up.parent_path() && !fs::exists(up, ec);
             up = up.parent_path())
            outermost = up;
        if (!fs::create_directories(path, ec)) {
            error = "cannot create output folder " + dir + ": " + ec.message();
            return false;
        }
        outermostMissing = outermost.string();
    }
    if (created != nullptr)
        *created = outermostMissing;
    // A probe file shows whether the folder takes new files.
    fs::path probe =
        path / (".of_ulk_export_probe_" + std::to_string(::getpid()));
    {
        std::ofstream file(probe, std::ios::binary | std::ios::trunc);
        file << "probe";
        file.close();
        if (!file) {
            fs::remove(probe, ec);
            removeCreatedFolders(dir, outermostMissing);
            error = "cannot write into output folder " + dir;
            return false;
        }
    }
    fs::remove(probe, ec);
    return true;
}

std::vector<std::string>
earlierRunFiles(const std::string& dir, long firstPair,
                const std::vector<std::string>& ownFiles)
{
    std::vector<std::pair<long, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(folderPath(dir), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        long pair = outputFilePair(name);
        if (pair < firstPair ||
            std::find(ownFiles.begin(), ownFiles.end(), name) != ownFiles.end())
            continue;
        found.emplace_back(pair, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& [pair, name] : found)
        names.push_back(std::move(name));
    return names;
}

void removeCreatedFolders(const std::string& dir, const std::string& created)
{
    if (created.empty())
        return;
    const fs::path outermost = folderPath(created);
    std::error_code ec;
    // fs::remove takes a folder only when it is empty.
    for (fs::path path = folderPath(dir);
         !path.empty() && path != path.root_path(); path = path.parent_path()) {
        if (!fs::remove(path, ec) || path == outermost)
            return;
    }
}

ExportResult runBatchExport(const ExportOptions& options, FrameSource& source,
                            std::ostream& progress, InterruptWatch* watch,
                            std::function<void(long)> onProgress)
{
    long pairs = expectedPairs(options, source);
    bool exact = source.countIsExact();
    Pipeline pipeline(options, pairs, exact, progress, std::move(onProgress));
    return pipeline.run(source, watch);
}

int exportMain(const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err)
{
    const char* const kName = "of_ulk_export: ";
    ExportOptions options;
    std::string error;
    if (!parseExportOptions(args, options, error)) {
        err << kName << error << "\nTry 'of_ulk_export --help'.\n";
        return kExitUsage;
    }
    if (options.help) {
        out << exportHelpText();
        return kExitOk;
    }

    // From here on a stop signal lets the run end in order.
    InterruptWatch watch;
    if (options.inputs.size() == 1 && isCollectionInput(options.inputs[0])) {
        std::vector<CollectionItem> items;
        if (!listCollection(options.inputs[0], items, error)) {
            err << kName << error << '\n';
            return kExitFailure;
        }
        return runCollection(options, items, &watch, out, err);
    }
    std::unique_ptr<FrameSource> source =
        FrameSource::open(options.inputs, error);
    if (!source) {
        err << kName << error << '\n';
        return kExitFailure;
    }
    std::string createdDir;
    if (!prepareOutputDir(options.outputDir, error, &createdDir)) {
        err << kName << error << '\n';
        return kExitFailure;
    }

    // Existing files stop the run before any work where the pair count is
    // certain; otherwise the first pair is checked now and the writer
    // checks every further file.
    if (!options.force) {
        long pairs = expectedPairs(options, *source);
        long check = source->countIsExact() && pairs > 0 ? pairs : 1;
        for (long i = 0; i < check; ++i) {
            for (const std::string& name : outputFileNames(options, i)) {
                fs::path path = fs::path(options.outputDir) / name;
                std::error_code ec;
                if (fs::exists(path, ec)) {
                    err << kName << "output file " << path.string()
                        << " exists (use --force to overwrite it)\n";
                    return kExitFailure;
                }
            }
        }
    }

    ExportResult result = runBatchExport(options, *source, err, &watch);
    if (result.pairs == 0)
        removeCreatedFolders(options.outputDir, createdDir);
    if (!result.warning.empty())
        err << kName << "warning: " << result.warning << '\n';
    if (result.signal != 0 || !result.error.empty()) {
        reportEarlyEnd(result, options.outputDir, kName, err);
        return result.signal != 0 ? exitStatusForSignal(result.signal)
                                  : kExitFailure;
    }
    out << formatSummary(result.pairs, result.seconds, result.engineSeconds,
                         result.workers);
    return kExitOk;
}

} // namespace ulk::exporter
