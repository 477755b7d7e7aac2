// Time per frame pair of the engine and of OpenCV's dense flow methods on
// synthetic scenes of four sizes, once on one OpenCV thread and once with
// OpenCV's default thread count. Every benchmark reports the wall-clock
// milliseconds per pair ("ms") and the pairs per second ("fps"); the engine
// also reports its time per stage when the library records it.
#include "flow_peers.h"
#include "synthetic_scene.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef OF_ULK_STAGE_TIMING
#include "stage_timing.h"
#define BENCH_STAGE_TIMES 1
#endif

namespace {

// Consecutive pairs cycled through, so that no method works on one
// repeated pair only.
const int kPairCount = 4;
// Seed of the scene: the same frames in every run.
const unsigned kSceneSeed = 1;
// Flags in force unless the command line sets them: enough repetitions for a
// median and a spread, and only those figures on the console (the JSON
// output keeps every repetition).
const char* const kDefaultFlags[] = {
    "--benchmark_repetitions=5", "--benchmark_display_aggregates_only=true"};

const cv::Size kFrameSizes[] = {
    {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};

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

using FramePairs = std::vector<std::pair<cv::Mat, cv::Mat>>;

// Grey frames i and i + 1 of the scene, made once per size.
const FramePairs& scenePairs(cv::Size size)
{
    static std::map<std::pair<int, int>, FramePairs> cache;
    FramePairs& pairs = cache[{size.width, size.height}];
    if (pairs.empty()) {
        const SyntheticScene scene(size.width, size.height, kSceneSeed);
        cv::Mat previous = scene.greyFrame(0);
        for (int i = 1; i <= kPairCount; ++i) {
            cv::Mat next = scene.greyFrame(i);
            pairs.emplace_back(previous, next);
            previous = next;
        }
    }
    return pairs;
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

void benchFlow(benchmark::State& state, Method which, cv::Size size,
               bool singleThread)
{
    const FramePairs& pairs = scenePairs(size);
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
}

void registerAll()
{
    for (const cv::Size& size : kFrameSizes)
        for (const bool singleThread : {true, false})
            for (const Method method : kMethods) {
                const std::string name =
                    makeMethod(method)->name() + "/" +
                    std::to_string(size.width) + "x" +
                    std::to_string(size.height) +
                    (singleThread ? "/threads:1" : "/threads:default");
                benchmark::RegisterBenchmark(name.c_str(), benchFlow, method,
                                             size, singleThread)
                    ->UseRealTime()
                    ->MeasureProcessCPUTime()
                    ->Unit(benchmark::kMillisecond);
            }
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
