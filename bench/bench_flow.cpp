// Time per frame pair of the engine and of OpenCV's dense flow methods on
// synthetic scenes of four sizes, once on one OpenCV thread and once with
// OpenCV's default thread count; also on a finely textured frame (many small
// regions) and, for the engine alone, on 4K frames of texture and of
// diagonal stripes (thousands of segments with frame-sized rectangles).
// Every benchmark reports the wall-clock milliseconds per pair ("ms") and
// the pairs per second ("fps"); the engine also reports its time per stage
// when the library records it, and the memory of one call: the process's
// peak resident size ("peak_rss_mb") and how far one call raised it above
// what the process held before ("extra_mb", "extra_b_per_px").
#include "bench_frames.h"
#include "engine/work_buffers.h"
#include "flow_peers.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <malloc.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#ifdef OF_ULK_STAGE_TIMING
#include "engine/stage_timing.h"

#define BENCH_STAGE_TIMES 1
#endif

using namespace ulk;
using namespace ulk::bench;

namespace {

// Flags in force unless the command line sets them: enough repetitions for a
// median and a spread, and only those figures on the console (the JSON
// output keeps every repetition).
const char* const kDefaultFlags[] = {
    "--benchmark_repetitions=5", "--benchmark_display_aggregates_only=true"};

const cv::Size kFrameSizes[] = {
    {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
const cv::Size kTexturedSizes[] = {{640, 480}, {1920, 1080}};
const cv::Size k4K(3840, 2160);
// Allocations up to this size come from the heap, and free heap up to this
// size is kept (see main).
const int kKeptAllocationBytes = 1 << 30;
// The C library's default: larger allocations get a mapping of their own.
const int kFreshMappingBytes = 128 * 1024;

enum class Method {
    Ulk,
    UlkStuffInfo,
    UlkRefined,
    Farneback,
    DisUltrafast,
    DisFast,
    DisMedium
};
const Method kMethods[] = {Method::Ulk,          Method::UlkStuffInfo,
                           Method::UlkRefined,   Method::Farneback,
                           Method::DisUltrafast, Method::DisFast,
                           Method::DisMedium};

std::unique_ptr<FlowMethod> makeMethod(Method method)
{
    switch (method) {
    case Method::Ulk:
        return std::make_unique<UlkFlow>(false);
    case Method::UlkStuffInfo:
        return std::make_unique<UlkFlow>(true);
    case Method::UlkRefined:
        return std::make_unique<UlkFlow>(false, CV_ULK_REFINED_DEFAULT);
    case Method::Farneback:
        return std::make_unique<FarnebackFlow>();
    case Method::DisUltrafast:
        return std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_ULTRAFAST);
    case Method::DisFast:
        return std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_FAST);
    case Method::DisMedium:
        return std::make_unique<DisFlow>(cv::DISOpticalFlow::PRESET_MEDIUM);
    }
    return nullptr;
}

// A line "key: value kB" of /proc/self/status, in bytes; 0 if absent.
double statusBytes(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            double kib = 0;
            status >> kib;
            return kib * 1024.0;
        }
    }
    return 0.0;
}

// Resets the process's peak resident size to its current size (Linux 4.0
// and later); false when the kernel does not allow it.
bool resetPeakResident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

// Sets OpenCV's thread count for one benchmark and restores it afterwards.
class ThreadScope {
  public:
    explicit ThreadScope(bool singleThread) : saved_(cv::getNumThreads())
    {
        // A negative count restores OpenCV's default.
        cv::setNumThreads(singleThread ? 1 : -1);
    }
    ~ThreadScope() { cv::setNumThreads(saved_); }
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

  private:
    int saved_;
};

#ifdef BENCH_STAGE_TIMES
// Counter names in EngineStage order.
const char* const kStageCounterNames[] = {"ms_preprocess",   "ms_segmentation",
                                          "ms_track_points", "ms_motion",
                                          "ms_dense_field",  "ms_smoothing"};
static_assert(std::size(kStageCounterNames) == kStageCount,
              "one counter name per engine stage");
#endif

bool runOnce(benchmark::State& state, FlowMethod& method,
             const std::pair<cv::Mat, cv::Mat>& pair)
{
    try {
        method.run(pair.first, pair.second);
        return true;
    } catch (const cv::Exception& e) {
        state.SkipWithError(e.what());
        return false;
    }
}

void benchFlow(benchmark::State& state, Method which, Content content,
               cv::Size size, bool singleThread)
{
    const FramePairs& pairs = framePairs(content, size);
    ThreadScope threads(singleThread);
    std::unique_ptr<FlowMethod> method = makeMethod(which);

    // One untimed call makes the buffers, the storage and OpenCV's pools.
    if (!runOnce(state, *method, pairs[0]))
        return;
#ifdef BENCH_STAGE_TIMES
    ulkResetStageSeconds();
#endif

    std::size_t next = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!runOnce(state, *method, pairs[next]))
            break;
        next = (next + 1) % pairs.size();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();

    const double pairsDone = double(state.iterations());
    if (pairsDone == 0 || seconds <= 0)
        return;
    state.counters["ms"] = 1e3 * seconds / pairsDone;
    state.counters["fps"] = pairsDone / seconds;
    state.counters["cv_threads"] = cv::getNumThreads();

    if (const auto* ulk = dynamic_cast<const UlkFlow*>(method.get())) {
        if (which == Method::UlkStuffInfo) {
            state.counters["segments"] = ulk->segmentCount();
            state.counters["points"] = ulk->trackPointCount();
        }
#ifdef BENCH_STAGE_TIMES
        for (int stage = 0; stage < kStageCount; ++stage)
            state.counters[kStageCounterNames[stage]] =
                1e3 * ulkStageSeconds()[stage] / pairsDone;
#endif
    }

    // The memory of one more, untimed call, after the stage times are read:
    // how far it raises the peak resident size above what the process holds
    // before it. The engine's work buffers, which each thread keeps between
    // calls, and the free heap are handed back first, and every buffer of
    // the call is mapped afresh, so that all of them must be faulted in.
    WorkBuffers::release();
    malloc_trim(0);
    mallopt(M_MMAP_THRESHOLD, kFreshMappingBytes);
    if (resetPeakResident()) {
        const double before = statusBytes("VmRSS:");
        runOnce(state, *method, pairs[0]);
        const double peak = statusBytes("VmHWM:");
        const double pixels = double(size.area());
        state.counters["peak_rss_mb"] = peak / 1e6;
        state.counters["extra_mb"] = (peak - before) / 1e6;
        state.counters["extra_b_per_px"] = (peak - before) / pixels;
    }
    mallopt(M_MMAP_THRESHOLD, kKeptAllocationBytes);
}

void registerOne(Method method, Content content, cv::Size size,
                 bool singleThread)
{
    const std::string name =
        makeMethod(method)->name() + "/" + std::to_string(size.width) + "x" +
        std::to_string(size.height) +
        (singleThread ? "/threads:1" : "/threads:default") +
        contentSuffix(content);
    benchmark::RegisterBenchmark(name.c_str(), benchFlow, method, content, size,
                                 singleThread)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMillisecond);
}

void registerAll()
{
    for (const cv::Size& size : kFrameSizes)
        for (const bool singleThread : {true, false})
            for (const Method method : kMethods)
                registerOne(method, Content::Scene, size, singleThread);
    for (const cv::Size& size : kTexturedSizes)
        for (const bool singleThread : {true, false})
            for (const Method method : kMethods)
                registerOne(method, Content::Textured, size, singleThread);
    // The engine alone at 4K: content that once made its time and memory
    // follow the scene rather than the frame.
    for (const Content content : {Content::Textured, Content::Striped})
        for (const bool singleThread : {true, false})
            registerOne(Method::Ulk, content, k4K, singleThread);
}

} // namespace

int main(int argc, char** argv)
{
    // Defaults go first so that the same flags on the command line win.
    std::vector<char*> args;
    args.push_back(argv[0]);
    for (const char* flag : kDefaultFlags)
        args.push_back(const_cast<char*>(flag));
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    int count = int(args.size());
    args.push_back(nullptr);

    // Freed memory stays with the process (until the memory measure hands
    // it back on purpose), so that no method's time depends on whether the
    // C library returned its buffers to the system between two calls and
    // must fault them in again: on these virtual machines that alone can
    // take a quarter of a call, and whether it happens follows the heap's
    // layout, not the method.
    mallopt(M_MMAP_THRESHOLD, kKeptAllocationBytes);
    mallopt(M_TRIM_THRESHOLD, kKeptAllocationBytes);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::AddCustomContext("opencv", CV_VERSION);
    benchmark::AddCustomContext("opencv_default_threads",
                                std::to_string(cv::getNumThreads()));
#ifdef BENCH_STAGE_TIMES
    benchmark::AddCustomContext("ulk_stage_times", "on");
#else
    benchmark::AddCustomContext("ulk_stage_times", "off");
#endif
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
