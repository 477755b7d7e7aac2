#include "batch_export.h"

#include "flow_wheel.h"
#include "progress.h"

#include "cvoptflowulk.h"
#include "image_holder.h"
#include "velocity_colour.h"

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/video.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Pairs allowed between reading and writing, per worker: enough to keep
// every worker busy while the writer catches up, few enough to bound the
// memory held by frames and encoded images.
constexpr int kPairsInFlightPerWorker = 2;
// Shortest time between two progress lines.
constexpr double kProgressInterval = 0.25;

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
             bool expectedExact, std::ostream& progress)
        : options_(options), expectedPairs_(expectedPairs),
          expectedExact_(expectedExact), progress_(progress)
    {
        workers_ = options.jobs > 0 ? options.jobs : defaultJobCount();
        capacity_ = kPairsInFlightPerWorker * workers_ + 1;
    }

    ExportResult run(FrameSource& source)
    {
        start_ = Clock::now();
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

        ExportResult result;
        result.pairs = written_;
        result.seconds = secondsSince(start_);
        result.engineSeconds = engineSeconds_;
        result.workers = workers_;
        result.error = error_.empty() ? readError_ : error_;
        if (!options_.quiet && (progressShown_ || result.error.empty())) {
            long total = result.error.empty() ? written_ : expectedPairs_;
            bool exact = result.error.empty() || expectedExact_;
            progress_ << '\r'
                      << formatProgress(written_, total, exact, result.seconds)
                      << "          \n";
            progress_.flush();
        }
        return result;
    }

  private:
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

    // Reads frames, pairs each with its predecessor and queues the pairs.
    void readLoop(FrameSource& source)
    {
        cv::Mat previous;
        long frames = 0;
        long pairs = 0;
        std::string error;
        while (options_.maxPairs == 0 || pairs < options_.maxPairs) {
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
            if (status == FrameSource::Read::End)
                break;
            if (frames > 0 && grey.size() != previous.size()) {
                endInput("frame " + std::to_string(frames) + " is " +
                         std::to_string(grey.cols) + "x" +
                         std::to_string(grey.rows) + " but frame " +
                         std::to_string(frames - 1) + " is " +
                         std::to_string(previous.cols) + "x" +
                         std::to_string(previous.rows));
                break;
            }
            if (frames > 0) {
                std::unique_lock<std::mutex> lock(mutex_);
                slotFree_.wait(
                    lock, [&] { return failed_ || inFlight_ < capacity_; });
                if (failed_)
                    break;
                ++inFlight_;
                jobs_.push_back(PairJob{pairs, previous, grey});
                ++submitted_;
                ++pairs;
                lock.unlock();
                jobReady_.notify_one();
            }
            previous = grey;
            ++frames;
        }
        endInput(frames < 2 ? "the input holds fewer than two frames" : "");
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
        ImageHolder colour;
        for (;;) {
            PairJob job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                jobReady_.wait(lock, [&] {
                    return failed_ || stopWorkers_ || !jobs_.empty();
                });
                if (failed_ || jobs_.empty())
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
                           cv::Mat& velx, cv::Mat& vely, ImageHolder& colour)
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
            renderVelocityColour(&vx, &vy, kColourFactorSingle, colour);
            cv::imencode(".png", cv::cvarrToMat(colour.image()),
                         result.colourPng);
        }
        if (options_.wheel) {
            cv::Mat wheel = renderFlowWheel(velx, vely, options_.maxSpeed);
            drawWheelLegend(wheel, options_.legend);
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
                    return failed_ || results_.count(next) != 0 ||
                           (inputDone_ && next >= submitted_);
                });
                if (failed_ || results_.count(next) == 0)
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
            if (!options_.quiet &&
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

    bool writeBytes(const fs::path& path, const std::vector<uchar>& bytes,
                    std::string& error)
    {
        if (!checkFree(path, error))
            return false;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            error = "cannot write " + path.string();
            return false;
        }
        return true;
    }

    bool writePair(long index, const PairResult& result, std::string& error)
    {
        fs::path dir(options_.outputDir);
        fs::path flowPath = dir / flowFileName(index);
        if (!checkFree(flowPath, error))
            return false;
        bool written = false;
        try {
            written = cv::writeOpticalFlow(flowPath.string(), result.flow);
        } catch (const cv::Exception&) {
            written = false;
        }
        if (!written) {
            error = "cannot write " + flowPath.string();
            return false;
        }
        if (options_.png &&
            !writeBytes(dir / colourFileName(index), result.colourPng, error))
            return false;
        if (options_.wheel &&
            !writeBytes(dir / wheelFileName(index), result.wheelPng, error))
            return false;
        return true;
    }

    const ExportOptions& options_;
    long expectedPairs_; // -1 when unknown
    bool expectedExact_;
    std::ostream& progress_;
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
    bool progressShown_ = false; // writer thread only, read after its join
    std::string error_;          // first failure of a worker or the writer
    std::string readError_;      // why the input ended early, if it did
};

std::string numberedName(long index, const char* suffix)
{
    char text[64];
    std::snprintf(text, sizeof text, "flow_%06ld%s", index, suffix);
    return text;
}

// Pairs the source will give, capped by --max-pairs; -1 when unknown.
long expectedPairs(const ExportOptions& options, const FrameSource& source)
{
    long pairs = source.frameCount() > 0 ? source.frameCount() - 1 : -1;
    if (options.maxPairs > 0 && (pairs < 0 || pairs > options.maxPairs))
        pairs = options.maxPairs;
    return pairs;
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

std::vector<std::string> outputFileNames(const ExportOptions& options,
                                         long index)
{
    std::vector<std::string> names{flowFileName(index)};
    if (options.png)
        names.push_back(colourFileName(index));
    if (options.wheel)
        names.push_back(wheelFileName(index));
    return names;
}

bool prepareOutputDir(const std::string& dir, std::string& error)
{
    std::error_code ec;
    fs::path path(dir);
    if (fs::exists(path, ec) && !fs::is_directory(path, ec)) {
        error = "output folder " + dir + " is not a folder";
        return false;
    }
    if (!fs::exists(path, ec) && !fs::create_directories(path, ec)) {
        error = "cannot create output folder " + dir + ": " + ec.message();
        return false;
    }
    // A probe file shows whether the folder takes new files.
    fs::path probe =
        path / (".of_ulk_export_probe_" + std::to_string(::getpid()));
    {
        std::ofstream file(probe, std::ios::binary | std::ios::trunc);
        file << "probe";
        file.close();
        if (!file) {
            fs::remove(probe, ec);
            error = "cannot write into output folder " + dir;
            return false;
        }
    }
    fs::remove(probe, ec);
    return true;
}

ExportResult runBatchExport(const ExportOptions& options, FrameSource& source,
                            std::ostream& progress)
{
    long pairs = expectedPairs(options, source);
    bool exact = source.countIsExact();
    Pipeline pipeline(options, pairs, exact, progress);
    return pipeline.run(source);
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

    std::unique_ptr<FrameSource> source =
        FrameSource::open(options.inputs, error);
    if (!source) {
        err << kName << error << '\n';
        return kExitFailure;
    }
    if (!prepareOutputDir(options.outputDir, error)) {
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

    ExportResult result = runBatchExport(options, *source, err);
    if (!result.error.empty()) {
        err << kName << result.error << '\n'
            << kName << result.pairs << " pairs written before the failure\n";
        return kExitFailure;
    }
    out << formatSummary(result.pairs, result.seconds, result.engineSeconds,
                         result.workers);
    return kExitOk;
}
