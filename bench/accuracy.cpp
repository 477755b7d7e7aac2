// flow_accuracy: average endpoint error and share of pixels off by more than
// 3 pixels, for the engine and OpenCV's dense flow methods, on synthetic
// pairs with a known whole-pixel shift and on the Middlebury pairs with
// ground truth (a folder per pair holding frame10.png, frame11.png and
// flow10.flo).
//
// Usage: flow_accuracy [--refinements] [middlebury-folder]
#include "flow_metrics.h"
#include "flow_peers.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
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

// One row of a result table: a method's figures on one pair, or why it has
// none.
struct Row {
    std::string method;
    bool ok = false;
    flowmetrics::FlowError error;
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

// Refinement sets measured one by one with --refinements: each refinement
// alone on the engine, then added one after the other.
const int kRefinementSteps[] = {
    CV_ULK_REFINE_COARSE_TO_FINE,
    CV_ULK_REFINE_SUBPIXEL,
    CV_ULK_REFINE_SEGMENT_SMOOTH,
    CV_ULK_REFINE_VARIATIONAL,
    CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL,
    CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_SUBPIXEL |
        CV_ULK_REFINE_SEGMENT_SMOOTH,
    CV_ULK_REFINE_ALL,
    CV_ULK_REFINE_COARSE_TO_FINE | CV_ULK_REFINE_VARIATIONAL,
    CV_ULK_REFINE_SUBPIXEL | CV_ULK_REFINE_VARIATIONAL,
};

std::vector<std::unique_ptr<FlowMethod>> makeMethods(bool refinements)
{
    std::vector<std::unique_ptr<FlowMethod>> methods;
    methods.push_back(std::make_unique<ZeroFlow>());
    methods.push_back(std::make_unique<UlkFlow>(false));
    methods.push_back(std::make_unique<UlkFlow>(false, CV_ULK_REFINED_DEFAULT));
    if (refinements)
        for (const int flags : kRefinementSteps)
            if (flags != CV_ULK_REFINED_DEFAULT)
                methods.push_back(std::make_unique<UlkFlow>(false, flags));
    for (auto& peer : makePeerMethods())
        methods.push_back(std::move(peer));
    return methods;
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
    std::printf("%-40s %12s %12s\n", "method", "AEE (px)", "> 3 px (%)");
    for (const Row& row : rows) {
        if (row.ok)
            std::printf("%-40s %12.3f %12.2f\n", row.method.c_str(),
                        row.error.averageEndpointError,
                        100.0 * row.error.badShare);
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

// Runs every pair folder below root, in name order. Returns false when root
// is not a folder.
bool runMiddlebury(std::vector<std::unique_ptr<FlowMethod>>& methods,
                   const fs::path& root)
{
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return false;

    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_directory())
            folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());

    Totals totals;
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

    std::printf("Average endpoint error (AEE) and share of pixels with an "
                "endpoint error above 3 px,\nover the pixels with known "
                "ground truth.\n");
    std::vector<std::unique_ptr<FlowMethod>> methods = makeMethods(refinements);
    runSynthetic(methods);
    if (!runMiddlebury(methods, middlebury))
        std::printf("\nMiddlebury folder %s not found: skipped.\n",
                    middlebury.string().c_str());
    return 0;
}
