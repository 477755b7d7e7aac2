// flow_accuracy: average endpoint error, share of pixels off by more than
// 3 pixels and time per call (one OpenCV thread), for the engine, the
// refined mode's variants and OpenCV's dense flow methods, on synthetic
// pairs with a known whole-pixel shift, on synthetic motions of up to 80
// pixels and turns with zooms (motion_cases.h), and on the Middlebury pairs
// with ground truth (a folder per pair holding frame10.png, frame11.png and
// flow10.flo). Closes with one row per method: the mean errors and the
// time per call at 640x480, which bench/draw_charts.py draws.
//
// Usage: flow_accuracy [--refinements] [middlebury-folder]
#include "flow_metrics.h"
#include "flow_peers.h"
#include "motion_cases.h"

#include "refine/refine_params.h"
#include "refine/variational.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace ulk::bench;

namespace fs = std::filesystem;

namespace {

// Frame size of the synthetic pairs.
const cv::Size kSyntheticSize(320, 240);
// Whole-pixel shifts of the synthetic pairs: along each axis, diagonal with
// a negative component, and the engine's coarse search step in both axes.
const cv::Point kSyntheticShifts[] = {{2, 0}, {0, 3}, {-4, 1}, {5, 5}};
// Timed calls per method and pair after the one whose field is judged;
// the median is kept.
const int kTimedRuns = 3;
// The frame size whose times the closing table gives.
const cv::Size kTimedSize(640, 480);
// Translations beyond this many pixels are left out of the motions' mean.
const int kMeanDistanceLimit = 60;

// One row of a result table: a method's figures on one pair, or why it has
// none.
struct Row {
    std::string method;
    bool ok = false;
    flowmetrics::FlowError error;
    double ms = 0.0; // median wall time of the timed calls
    std::string failure;
};

// Figures of every method over the pairs of one group, for the summary.
struct Totals {
    std::vector<std::string> methods;
    std::vector<double> endpointSum;
    std::vector<double> badSum;
    std::vector<int> pairs;
};

// Reference row: the error of claiming that nothing moved.
class ZeroFlow : public FlowMethod {
  public:
    std::string name() const override { return "zero_flow"; }
    void run(const cv::Mat& older, const cv::Mat&) override
    {
        flow_ = cv::Mat::zeros(older.size(), CV_32FC2);
    }
    cv::Mat flow() const override { return flow_; }

  private:
    cv::Mat flow_;
};

// The refined mode's variational pyramid alone, from no motion, without
// the engine: what the pyramid contributes on its own.
class PyramidAlone : public FlowMethod {
  public:
    std::string name() const override { return "pyramid_alone"; }
    void run(const cv::Mat& older, const cv::Mat& newer) override
    {
        cv::Mat u = cv::Mat::zeros(older.size(), CV_32FC1);
        cv::Mat v = cv::Mat::zeros(older.size(), CV_32FC1);
        ulk::refineVariational(older, newer, ulk::defaultRefineParams(), false,
                               u, v);
        cv::merge(std::vector<cv::Mat>{u, v}, flow_);
    }
    cv::Mat flow() const override { return flow_; }

  private:
    cv::Mat flow_;
};

// Refinement sets measured one by one with --refinements: each refinement
// alone on the engine, then added one after the other.
const int kRefinementSteps[] = {
    CV_ULK_REFINE_COARSE_TO_FINE,
    CV_ULK_REFINE_SUBPIXEL,
    CV_ULK_REFINE_SEGMENT_SMOOTH,
    CV_ULK_REFINE_VARIATIONAL,
    CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL |
        CV_ULK_REFINE_SEGMENT_SMOOTH,
    CV_ULK_REFINE_ALL,
    CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_VARIATIONAL,
    CV_ULK_REFINE_SUBPIXEL | CV_ULK_REFINE_VARIATIONAL,
};

// The refined mode with some of its settings changed: the variants of the
// accuracy-speed table.
std::unique_ptr<FlowMethod>
refinedVariant(const std::string& name,
               void (*change)(CvULKRefineParams* params))
{
    CvULKRefineParams params = ulk::defaultRefineParams();
    change(&params);
    return std::make_unique<UlkFlow>(params, name);
}

std::vector<std::unique_ptr<FlowMethod>> makeMethods(bool refinements)
{
    std::vector<std::unique_ptr<FlowMethod>> methods;
    methods.push_back(std::make_unique<ZeroFlow>());
    methods.push_back(std::make_unique<UlkFlow>(false));
    methods.push_back(std::make_unique<UlkFlow>(false, CV_ULK_REFINED_DEFAULT));
    // Variants: the engine's field never offered; a full-size finest level;
    // a halving pyramid.
    methods.push_back(refinedVariant(
        "ulk_refined_nofuse", [](CvULKRefineParams* p) { p->fuseScale = 0; }));
    methods.push_back(refinedVariant(
        "ulk_refined_full", [](CvULKRefineParams* p) { p->finestScale = 1; }));
    methods.push_back(
        refinedVariant("ulk_refined_halving",
                       [](CvULKRefineParams* p) { p->pyramidScale = 0.5; }));
    // The ablation: the engine's refined field alone (with its Gaussian),
    // and the pyramid alone.
    methods.push_back(std::make_unique<UlkFlow>(
        false, CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL));
    methods.push_back(std::make_unique<PyramidAlone>());
    if (refinements)
        for (const int flags : kRefinementSteps)
            methods.push_back(std::make_unique<UlkFlow>(false, flags));
    for (auto& peer : makePeerMethods())
        methods.push_back(std::move(peer));
    return methods;
}

double runMilliseconds(FlowMethod& method, const cv::Mat& older,
                       const cv::Mat& newer)
{
    const auto start = std::chrono::steady_clock::now();
    method.run(older, newer);
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now() - start)
        .count();
}

std::vector<Row> measure(std::vector<std::unique_ptr<FlowMethod>>& methods,
                         const cv::Mat& older, const cv::Mat& newer,
                         const cv::Mat& truth)
{
    std::vector<Row> rows;
    for (auto& method : methods) {
        Row row;
        row.method = method->name();
        try {
            method->run(older, newer);
            row.error = flowmetrics::compareFlow(method->flow(), truth);
            std::vector<double> ms;
            for (int i = 0; i < kTimedRuns; ++i)
                ms.push_back(runMilliseconds(*method, older, newer));
            std::sort(ms.begin(), ms.end());
            row.ms = ms[ms.size() / 2];
            row.ok = true;
        } catch (const cv::Exception& e) {
            row.failure = e.what();
        }
        rows.push_back(row);
    }
    return rows;
}

void printTable(const std::string& title, const std::vector<Row>& rows)
{
    std::printf("\n== %s\n", title.c_str());
    std::printf("%-40s %12s %12s %10s\n", "method", "AEE (px)", "> 3 px (%)",
                "ms");
    for (const Row& row : rows) {
        if (row.ok)
            std::printf("%-40s %12.3f %12.2f %10.2f\n", row.method.c_str(),
                        row.error.averageEndpointError,
                        100.0 * row.error.badShare, row.ms);
        else
            std::printf("%-40s failed: %s\n", row.method.c_str(),
                        row.failure.c_str());
    }
}

void addToTotals(Totals& totals, const std::vector<Row>& rows)
{
    if (totals.methods.empty()) {
        for (const Row& row : rows)
            totals.methods.push_back(row.method);
        totals.endpointSum.assign(rows.size(), 0.0);
        totals.badSum.assign(rows.size(), 0.0);
        totals.pairs.assign(rows.size(), 0);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        if (!row.ok || row.error.knownPixels == 0)
            continue;
        totals.endpointSum[i] += row.error.averageEndpointError;
        totals.badSum[i] += row.error.badShare;
        ++totals.pairs[i];
    }
}

double meanEndpoint(const Totals& totals, std::size_t i)
{
    return totals.pairs[i] ? totals.endpointSum[i] / totals.pairs[i] : -1.0;
}

// Mean over the pairs of each method's figures; a method that failed on a
// pair is averaged over the others, and the pair count says so.
void printSummary(const std::string& title, const Totals& totals)
{
    if (totals.methods.empty())
        return;
    std::printf("\n== %s\n", title.c_str());
    std::printf("%-40s %12s %12s %6s\n", "method", "AEE (px)", "> 3 px (%)",
                "pairs");
    for (std::size_t i = 0; i < totals.methods.size(); ++i) {
        const int n = totals.pairs[i];
        if (n == 0) {
            std::printf("%-40s %12s %12s %6d\n", totals.methods[i].c_str(), "-",
                        "-", 0);
            continue;
        }
        std::printf("%-40s %12.3f %12.2f %6d\n", totals.methods[i].c_str(),
                    totals.endpointSum[i] / n, 100.0 * totals.badSum[i] / n, n);
    }
}

// Per method, the times of its calls on frames of kTimedSize.
using Times = std::map<std::string, std::vector<double>>;

void addTimes(Times& times, const std::vector<Row>& rows, cv::Size size)
{
    if (size != kTimedSize)
        return;
    for (const Row& row : rows)
        if (row.ok)
            times[row.method].push_back(row.ms);
}

void runSynthetic(std::vector<std::unique_ptr<FlowMethod>>& methods)
{
    Totals totals;
    for (const cv::Point& shift : kSyntheticShifts) {
        const flowmetrics::ShiftedPair pair =
            flowmetrics::makeShiftedPair(kSyntheticSize, shift.x, shift.y);
        const std::vector<Row> rows =
            measure(methods, pair.older, pair.newer, pair.truth);
        const long long known = rows.empty() ? 0 : rows[0].error.knownPixels;
        printTable("synthetic shift (" + std::to_string(shift.x) + ", " +
                       std::to_string(shift.y) + "), " +
                       std::to_string(kSyntheticSize.width) + "x" +
                       std::to_string(kSyntheticSize.height) + ", " +
                       std::to_string(known) + " known pixels",
                   rows);
        addToTotals(totals, rows);
    }
    printSummary("synthetic shifts, mean over pairs", totals);
}

// The motions of motion_cases.h: a table per frame (AEE over the pixels
// whose target stays inside the frame, one column per motion), then the
// mean over the frames. The motions' mean for the closing table leaves out
// translations beyond kMeanDistanceLimit.
Totals runMotions(std::vector<std::unique_ptr<FlowMethod>>& methods,
                  Times& times)
{
    const std::vector<MotionCase> cases = motionCases();
    std::vector<std::string> motions;
    for (const MotionCase& c : cases)
        if (std::find(motions.begin(), motions.end(), c.motion) ==
            motions.end())
            motions.push_back(c.motion);
    // error[method][motion]: per frame, then summed over the frames.
    std::map<std::string, std::map<std::string, double>> sum;
    std::map<std::string, std::map<std::string, double>> frameError;
    std::map<std::string, int> frameCount;
    Totals totals;
    std::string frame;
    auto printFrame =
        [&](const std::string& title,
            const std::map<std::string, std::map<std::string, double>>& error,
            double divisor) {
            std::printf("\n== %s\n%-40s", title.c_str(), "method");
            for (const std::string& m : motions)
                std::printf(" %7s", m.c_str());
            std::printf("\n");
            for (const auto& method : methods) {
                std::printf("%-40s", method->name().c_str());
                for (const std::string& m : motions) {
                    const auto& row = error.at(method->name());
                    const auto it = row.find(m);
                    if (it == row.end())
                        std::printf(" %7s", "-");
                    else
                        std::printf(" %7.3f", it->second / divisor);
                }
                std::printf("\n");
            }
        };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const MotionCase& c = cases[i];
        const std::vector<Row> rows =
            measure(methods, c.pair.older, c.pair.newer, c.pair.truth);
        addTimes(times, rows, c.pair.older.size());
        const bool inMean =
            c.motion[0] == 'r' ||
            std::atoi(c.motion.c_str() + 1) <= kMeanDistanceLimit;
        if (inMean)
            addToTotals(totals, rows);
        for (const Row& row : rows) {
            if (!row.ok)
                continue;
            frameError[row.method][c.motion] = row.error.averageEndpointError;
            sum[row.method][c.motion] += row.error.averageEndpointError;
        }
        const bool last =
            i + 1 == cases.size() || cases[i + 1].frame != c.frame;
        if (last) {
            ++frameCount["all"];
            printFrame("moved frame '" + c.frame +
                           "' (640x480), AEE where the target stays inside",
                       frameError, 1.0);
            frameError.clear();
        }
    }
    printFrame("moved frames, mean over the " +
                   std::to_string(frameCount["all"]) + " frames",
               sum, frameCount["all"]);
    return totals;
}

// Runs every pair folder below root, in name order. Returns false when root
// is not a folder.
bool runMiddlebury(std::vector<std::unique_ptr<FlowMethod>>& methods,
                   const fs::path& root, Times& times, Totals& totals)
{
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return false;

    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_directory())
            folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());

    for (const fs::path& folder : folders) {
        const std::string name = folder.filename().string();
        const cv::Mat older =
            cv::imread((folder / "frame10.png").string(), cv::IMREAD_GRAYSCALE);
        const cv::Mat newer =
            cv::imread((folder / "frame11.png").string(), cv::IMREAD_GRAYSCALE);
        std::string floError;
        const cv::Mat truth =
            flowmetrics::readFlo((folder / "flow10.flo").string(), &floError);
        if (older.empty() || newer.empty()) {
            std::printf("\n== %s: frame10.png or frame11.png missing or "
                        "unreadable, skipped\n",
                        name.c_str());
            continue;
        }
        if (truth.empty()) {
            std::printf("\n== %s: %s, skipped\n", name.c_str(),
                        floError.c_str());
            continue;
        }
        if (older.size() != newer.size() || older.size() != truth.size()) {
            std::printf("\n== %s: frames and ground truth differ in size, "
                        "skipped\n",
                        name.c_str());
            continue;
        }
        const std::vector<Row> rows = measure(methods, older, newer, truth);
        addTimes(times, rows, older.size());
        const long long known = rows.empty() ? 0 : rows[0].error.knownPixels;
        printTable(name + " (" + std::to_string(older.cols) + "x" +
                       std::to_string(older.rows) + ", " +
                       std::to_string(known) + " known pixels)",
                   rows);
        addToTotals(totals, rows);
    }
    printSummary("Middlebury, mean over pairs", totals);
    return true;
}

// The closing table: per method the Middlebury mean, the motions' mean and
// the median time per call at kTimedSize.
void printFrontier(const std::vector<std::unique_ptr<FlowMethod>>& methods,
                   const Totals& middlebury, const Totals& motions,
                   const Times& times)
{
    std::printf("\n== accuracy and time per call at %dx%d, one thread\n",
                kTimedSize.width, kTimedSize.height);
    std::printf("%-40s %15s %15s %12s\n", "method", "Middlebury AEE",
                "motions AEE", "ms per call");
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const std::string name = methods[i]->name();
        std::vector<double> ms;
        if (times.count(name))
            ms = times.at(name);
        std::sort(ms.begin(), ms.end());
        std::printf("%-40s %15.3f %15.3f %12.2f\n", name.c_str(),
                    middlebury.methods.empty() ? -1.0
                                               : meanEndpoint(middlebury, i),
                    motions.methods.empty() ? -1.0 : meanEndpoint(motions, i),
                    ms.empty() ? -1.0 : ms[ms.size() / 2]);
    }
}

void printLoad(const char* when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1],
                    load[2]);
}

} // namespace

int main(int argc, char** argv)
{
    // --refinements adds a row per refinement set; one folder may follow.
    bool refinements = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--refinements")
            refinements = true;
        else
            args.push_back(argv[i]);
    }
    if (args.size() > 1 ||
        (args.size() == 1 && (args[0] == "-h" || args[0] == "--help"))) {
        std::printf("Usage: flow_accuracy [--refinements] [middlebury-folder]\n"
                    "Default folder: %s\n"
                    "--refinements: also each refinement of the refined "
                    "mode alone and in combination\n",
                    OF_ULK_DEFAULT_MIDDLEBURY);
        return args.size() > 1 ? 1 : 0;
    }
    const fs::path middlebury =
        args.size() == 1 ? args[0] : OF_ULK_DEFAULT_MIDDLEBURY;

    cv::setNumThreads(1);
    std::printf("Average endpoint error (AEE) and share of pixels with an "
                "endpoint error above 3 px,\nover the pixels with known "
                "ground truth; ms: median wall time of %d calls, one "
                "OpenCV thread.\n",
                kTimedRuns);
    printLoad("at the start");
    std::vector<std::unique_ptr<FlowMethod>> methods = makeMethods(refinements);
    Times times;
    runSynthetic(methods);
    const Totals motions = runMotions(methods, times);
    Totals pairs;
    if (!runMiddlebury(methods, middlebury, times, pairs))
        std::printf("\nMiddlebury folder %s not found: skipped.\n",
                    middlebury.string().c_str());
    printFrontier(methods, pairs, motions, times);
    printLoad("at the end");
    return 0;
}
