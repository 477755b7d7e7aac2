#include "batch_export.h"

#include "atomic_file.h"
#include "collection_list.h"
#include "collection_run.h"
#include "flo_file.h"
#include "flow_wheel.h"
#include "interrupt_watch.h"
#include "ordered_pipeline.h"
#include "progress.h"
#include "short_video.h"
#include "xy_coding.h"

#include "cvoptflowulk.h"
#include "image_holder.h"
#include "velocity_colour.h"

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <stdexcept>
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

// One pair from its reading to its writing: the two grey frames (CV_8UC1)
// and what a worker made of them. The pipeline's slots serve pair after
// pair, so the buffers are allocated once.
struct PairSlot {
    cv::Mat older;
    cv::Mat newer;
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

// What a worker keeps from pair to pair.
struct WorkerTools {
    StorageHandle storage;
    cv::Mat velx;
    cv::Mat vely;
    viz::ImageHolder colour;
};

using PairPipeline = frontend::OrderedPipeline<PairSlot>;

// One run on the ordered pipeline: its thread reads the frames and pairs
// them, the workers compute the pairs in any order, and the calling thread
// writes them back in pair order.
class BatchRun {
  public:
    BatchRun(const ExportOptions& options, long expectedPairs,
             bool expectedExact, std::ostream& progress,
             std::function<void(long)> onProgress)
        : options_(options), expectedPairs_(expectedPairs),
          expectedExact_(expectedExact), progress_(progress),
          onProgress_(std::move(onProgress))
    {
        workers_ = options.jobs > 0 ? options.jobs : defaultJobCount();
    }

    ExportResult run(FrameSource& source, InterruptWatch* watch)
    {
        start_ = Clock::now();
        watch_ = watch;
        std::deque<WorkerTools> tools(static_cast<std::size_t>(workers_));
        {
            PairPipeline pipeline(
                {workers_, kPairsInFlightPerWorker * workers_ + 1});
            pipeline_ = &pipeline;
            if (watch != nullptr)
                watch->setCallback([this](int signal) { interrupt(signal); });
            pipeline.start(
                [&](long index, PairSlot& pair) {
                    return readPair(source, index, pair);
                },
                [&](long index, PairSlot& pair, int worker) {
                    computePair(index, pair,
                                tools[static_cast<std::size_t>(worker)]);
                });
            try {
                writePairs(pipeline);
                pipeline.finish();
            } catch (const std::exception& e) {
                error_ = e.what();
            }
            if (watch != nullptr)
                watch->setCallback(nullptr);
        }

        ExportResult result;
        result.pairs = written_;
        result.seconds = secondsSince(start_);
        result.engineSeconds = engineSeconds_;
        result.workers = workers_;
        result.error = error_;
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
    // A stop signal, from the watch's thread or the reading thread: nothing
    // new is read or computed, the pair being written is finished.
    void interrupt(int signal)
    {
        int none = 0;
        signal_.compare_exchange_strong(none, signal);
        pipeline_->stop();
    }

    // The reading thread: reads frames, brought to the flow size, until
    // pair `index` of a frame and the one options.step before it is
    // complete. False at the end of the input and at a stop signal; a
    // frame that cannot be read or paired ends the run with its message,
    // after the pairs before it.
    bool readPair(FrameSource& source, long index, PairSlot& pair)
    {
        if (options_.maxPairs > 0 && index >= options_.maxPairs)
            return false;
        for (;;) {
            // The watch's flag is set by the time a signal handler returns,
            // before its thread passes the signal on.
            if (watch_ != nullptr && watch_->signal() != 0) {
                interrupt(watch_->signal());
                return false;
            }
            cv::Mat grey;
            std::string error;
            FrameSource::Read status;
            try {
                status = source.next(grey, error);
            } catch (const std::exception& e) {
                status = FrameSource::Read::Error;
                error = std::string("cannot read frame ") +
                        std::to_string(frames_) + ": " + e.what();
            }
            if (status == FrameSource::Read::Error)
                throw std::runtime_error(error);
            if (status == FrameSource::Read::End) {
                noteShortVideo(source);
                if (frames_ <= options_.step)
                    throw std::runtime_error(tooFewFrames());
                return false;
            }
            if (frames_ > 0 && grey.size() != readSize_)
                throw std::runtime_error("frame " + std::to_string(frames_) +
                                         " is " + std::to_string(grey.cols) +
                                         "x" + std::to_string(grey.rows) +
                                         " but frame " +
                                         std::to_string(frames_ - 1) + " is " +
                                         std::to_string(readSize_.width) + "x" +
                                         std::to_string(readSize_.height));
            if (frames_ == 0) {
                readSize_ = grey.size();
                flowSize_ =
                    flowFrameSize(readSize_, options_.resizeWidth,
                                  options_.resizeHeight, options_.shortSide);
            }
            if (flowSize_ != readSize_)
                grey = resizedFrame(grey, flowSize_);
            recent_.push_back(grey);
            ++frames_;
            if (static_cast<long>(recent_.size()) > options_.step) {
                pair.older = recent_.front();
                pair.newer = grey;
                recent_.pop_front();
                return true;
            }
        }
    }

    std::string tooFewFrames() const
    {
        if (options_.step == 1)
            return "the input holds fewer than two frames";
        return "the input holds " + std::to_string(frames_) +
               " frames, fewer than the " + std::to_string(options_.step + 1) +
               " that --step " + std::to_string(options_.step) + " needs";
    }

    // A video whose frames ran out before the count its header declares
    // may be cut short or damaged: its last pair may be computed from a
    // damaged frame.
    void noteShortVideo(const FrameSource& source)
    {
        warning_ = frontend::shortVideoWarning(source.frameCount(), frames_);
    }

    // A worker: the flow of one pair and the pictures asked for; a failure
    // ends the run with a message naming the pair, after the pairs before.
    void computePair(long index, PairSlot& pair, WorkerTools& tools)
    {
        try {
            computeFlowAndPictures(pair, tools);
        } catch (const cv::Exception& e) {
            throw std::runtime_error("flow of pair " + std::to_string(index) +
                                     " failed: " + e.err + " (" + e.func + ")");
        } catch (const std::exception& e) {
            throw std::runtime_error("flow of pair " + std::to_string(index) +
                                     " failed: " + e.what());
        }
    }

    void computeFlowAndPictures(PairSlot& pair, WorkerTools& tools)
    {
        cv::Mat& velx = tools.velx;
        cv::Mat& vely = tools.vely;
        velx.create(pair.newer.size(), CV_32FC1);
        vely.create(pair.newer.size(), CV_32FC1);
        CvMat srcA = cvMat(pair.older);
        CvMat srcB = cvMat(pair.newer);
        CvMat vx = cvMat(velx);
        CvMat vy = cvMat(vely);

        Clock::time_point t0 = Clock::now();
        CvULKRefineParams params = options_.refineParams;
        params.flags = options_.refined ? CV_ULK_REFINED_DEFAULT : 0;
        cvCalcOpticalFlowULKRefinedEx(&srcA, &srcB, &vx, &vy,
                                      tools.storage.get(), nullptr, &params);
        pair.engineSeconds = secondsSince(t0);

        cv::Mat channels[] = {velx, vely};
        cv::merge(channels, 2, pair.flow);

        if (options_.png) {
            viz::ImageHolder& colour = tools.colour;
            if (colour.width() != velx.cols || colour.height() != velx.rows)
                colour.create(velx.cols, velx.rows, IPL_DEPTH_8U, 3);
            viz::renderVelocityColour(&vx, &vy, viz::kColourFactorSingle,
                                      colour);
            cv::imencode(".png", cv::cvarrToMat(colour.image()),
                         pair.colourPng);
        }
        if (options_.format == FieldFormat::Xy) {
            const std::string ext = options_.xyPng ? ".png" : ".jpg";
            const std::vector<int> params =
                options_.xyPng ? std::vector<int>()
                               : std::vector<int>{cv::IMWRITE_JPEG_QUALITY,
                                                  kXyJpegQuality};
            cv::imencode(ext, xyComponentImage(velx, options_.bound),
                         pair.xImage, params);
            cv::imencode(ext, xyComponentImage(vely, options_.bound),
                         pair.yImage, params);
        }
        if (options_.wheel) {
            cv::Mat wheel = viz::renderFlowWheel(velx, vely, options_.maxSpeed);
            viz::drawWheelLegend(wheel, options_.legend);
            cv::imencode(".png", wheel, pair.wheelPng);
        }
    }

    // The calling thread: takes the pairs back in pair order and writes
    // their files; a file that cannot be written ends the run.
    void writePairs(PairPipeline& pipeline)
    {
        double lastProgress = -kProgressInterval;
        for (long index = 0; PairSlot* pair = pipeline.next(); ++index) {
            std::string error;
            if (!writePair(index, *pair, error)) {
                error_ = error;
                return;
            }
            ++written_;
            engineSeconds_ += pair->engineSeconds;

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

    bool writePair(long index, const PairSlot& pair, std::string& error)
    {
        fs::path dir(options_.outputDir);
        partialFiles_.clear();
        auto flo = [&pair](const std::string& path) {
            std::string reason; // writeFileAtomically names the failure
            return viz::writeFlowFile(path, pair.flow, reason);
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
                       bytes(pair.xImage), error) ||
             !writeOne(dir / yFileName(index, options_.xyPng),
                       bytes(pair.yImage), error)))
            return false;
        if (options_.png && !writeOne(dir / colourFileName(index),
                                      bytes(pair.colourPng), error))
            return false;
        if (options_.wheel &&
            !writeOne(dir / wheelFileName(index), bytes(pair.wheelPng), error))
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
    PairPipeline* pipeline_ = nullptr; // during run()
    int workers_ = 1;
    Clock::time_point start_;
    std::atomic<int> signal_{0}; // the stop signal caught, 0 while none

    // The reading thread's, read by the calling thread once it has ended.
    std::deque<cv::Mat> recent_; // the last options.step frames
    cv::Size readSize_;          // of the frames as read
    cv::Size flowSize_;          // of the frames given to the engine
    long frames_ = 0;            // frames read
    std::string warning_;        // a video shorter than its header says

    // The calling thread's.
    long written_ = 0; // pairs whose files are written
    double engineSeconds_ = 0.0;
    bool progressShown_ = false;
    std::string error_; // why the run ended early, if it did
    // Files of the pair being written that are already in place.
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
    BatchRun run(options, pairs, exact, progress, std::move(onProgress));
    return run.run(source, watch);
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
