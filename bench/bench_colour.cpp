// Time to colour one 1280 x 720 velocity field as the viewer shows it
// (renderVelocityColour), on each rendering path the processor has, once
// on one OpenCV thread and once with OpenCV's default thread count. The
// field is smooth random motion of 0 to 10 pixels in every direction, so
// nearly every pixel moves and no two neighbours are equal. Reports the
// wall-clock milliseconds per field and the wall-clock time per pixel
// ("per_px"). For medians: --benchmark_repetitions=9
// --benchmark_report_aggregates_only=true.
#include "image_holder.h"
#include "velocity_colour.h"
#include "velocity_colour_paths.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>

using namespace ulk::viz;

namespace {

const cv::Size kFieldSize(1280, 720);

struct Field {
    cv::Mat vx;
    cv::Mat vy;
};

// Speeds of 0 to 10 pixels and any direction on a coarse grid, smoothed up
// to full size.
const Field& texturedField()
{
    static const Field field = [] {
        const cv::Size coarse(kFieldSize.width / 16, kFieldSize.height / 16);
        cv::Mat speed(coarse, CV_32FC1);
        cv::Mat turn(coarse, CV_32FC1);
        cv::RNG rng(2024);
        rng.fill(speed, cv::RNG::UNIFORM, 0.0, 10.0);
        rng.fill(turn, cv::RNG::UNIFORM, 0.0, 2 * CV_PI);
        cv::Mat cx, cy;
        cv::polarToCart(speed, turn, cx, cy);
        Field f;
        cv::resize(cx, f.vx, kFieldSize, 0, 0, cv::INTER_CUBIC);
        cv::resize(cy, f.vy, kFieldSize, 0, 0, cv::INTER_CUBIC);
        return f;
    }();
    return field;
}

void benchColour(benchmark::State& state, ColourPath path, bool singleThread)
{
    const int saved = cv::getNumThreads();
    // A negative count restores OpenCV's default.
    cv::setNumThreads(singleThread ? 1 : -1);
    const Field& field = texturedField();
    CvMat velx = cvMat(field.vx);
    CvMat vely = cvMat(field.vy);
    ImageHolder picture;
    picture.create(kFieldSize.width, kFieldSize.height, IPL_DEPTH_8U, 3);
    for (auto _ : state) {
        renderVelocityColourOn(path, &velx, &vely, kColourFactorSingle,
                               picture);
        benchmark::DoNotOptimize(picture.image()->imageData);
        benchmark::ClobberMemory();
    }
    const double pixels = double(kFieldSize.area());
    // Shown as a time per pixel (for instance "9.3ns").
    state.counters["per_px"] = benchmark::Counter(
        pixels, benchmark::Counter::kIsIterationInvariantRate |
                    benchmark::Counter::kInvert);
    state.counters["cv_threads"] = cv::getNumThreads();
    cv::setNumThreads(saved);
}

void registerAll()
{
    for (const ColourPath path : kColourPaths) {
        if (!colourPathSupported(path))
            continue;
        for (const bool singleThread : {true, false}) {
            const std::string name =
                std::string("Colour/") + colourPathName(path) + "/1280x720" +
                (singleThread ? "/threads:1" : "/threads:default");
            benchmark::RegisterBenchmark(name.c_str(), benchColour, path,
                                         singleThread)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("colour_path_default",
                                colourPathName(fastestColourPath()));
    benchmark::AddCustomContext("opencv_default_threads",
                                std::to_string(cv::getNumThreads()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
