// refine_sweep: the refined mode's variational pyramid under a grid of
// settings, on the Middlebury pairs and on synthetic motions, for choosing
// its defaults (bench/choose_params.py reads the output).
//
// The engine's own field (the point motion of the default flags, then the
// dense field) does not depend on the pyramid's settings, so it is
// computed once per pair; each setting then refines a copy of it. One
// thread throughout. Prints one tab-separated row per setting: the
// settings, the milliseconds of the pyramid on a 640x480 pair (median of
// three), then the endpoint error on every pair (over the pixels of known
// truth; on the synthetic pairs, the pixels whose target stays inside the
// frame). Comment lines (#) give the engine's and DIS MEDIUM's time on the
// same pair.
//
// Usage: refine_sweep [middlebury-folder] [key=v1,v2,... ...]
// Keys: the numeric fields of CvULKRefineParams (pyramidScale ...
// fuseScale; fuseScale -1 is a start from no motion that never offers the
// engine's field) and margin (the fusion's kFuseMargin).
#include "flow_metrics.h"
#include "motion_cases.h"

#include "refine/refine_params.h"
#include "refine/refined_engine.h"
#include "refine/variational.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace ulk::bench;
namespace fs = std::filesystem;

namespace {

const char* const kPairs[] = {"Dimetrodon",  "Grove2", "Hydrangea",
                              "RubberWhale", "Urban2", "Venus"};

struct Case {
    std::string name;
    cv::Mat older, newer, truth;
    cv::Mat engineU, engineV; // the engine's field before the pyramid
};

// Processor time of the calling thread, milliseconds: on a machine that
// other work shares, steadier than the wall clock.
double threadMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

void engineField(Case* c)
{
    CvMat a = cvMat(c->older), b = cvMat(c->newer);
    c->engineU.create(c->older.size(), CV_32FC1);
    c->engineV.create(c->older.size(), CV_32FC1);
    CvMat u = cvMat(c->engineU), v = cvMat(c->engineV);
    CvMemStorage* storage = cvCreateMemStorage(0);
    ulk::refinedEngineField(&a, &b, &u, &v, storage,
                            ulk::defaultRefineParams().flags);
    cvReleaseMemStorage(&storage);
}

std::vector<Case> syntheticCases()
{
    std::vector<Case> cases;
    for (const MotionCase& m : motionCases())
        cases.push_back({m.frame + "_" + m.motion,
                         m.pair.older,
                         m.pair.newer,
                         m.pair.truth,
                         {},
                         {}});
    return cases;
}

std::vector<Case> middleburyCases(const fs::path& root)
{
    std::vector<Case> cases;
    for (const char* name : kPairs) {
        const fs::path folder = root / name;
        Case c;
        c.name = name;
        c.older =
            cv::imread((folder / "frame10.png").string(), cv::IMREAD_GRAYSCALE);
        c.newer =
            cv::imread((folder / "frame11.png").string(), cv::IMREAD_GRAYSCALE);
        c.truth = flowmetrics::readFlo((folder / "flow10.flo").string());
        if (!c.older.empty() && !c.newer.empty() && !c.truth.empty())
            cases.push_back(c);
    }
    return cases;
}

std::vector<double> parseList(const std::string& text)
{
    std::vector<double> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        values.push_back(std::stod(item));
    return values;
}

// The field of CvULKRefineParams that a key names, or null.
const ulk::RefineField* findField(const std::string& key)
{
    for (int i = 0; i < ulk::kRefineFieldCount; ++i)
        if (key == ulk::kRefineFields[i].name)
            return &ulk::kRefineFields[i];
    return nullptr;
}

double refine(const Case& c, const CvULKRefineParams& p, bool engine,
              double margin, cv::Mat* flow)
{
    cv::Mat u = c.engineU.clone(), v = c.engineV.clone();
    const double start = threadMilliseconds();
    ulk::refineVariational(c.older, c.newer, p, engine, u, v, margin);
    const double ms = threadMilliseconds() - start;
    if (flow)
        cv::merge(std::vector<cv::Mat>{u, v}, *flow);
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    fs::path root = OF_ULK_DEFAULT_MIDDLEBURY;
    std::map<std::string, std::vector<double>> grid;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            root = arg;
            continue;
        }
        const std::string key = arg.substr(0, eq);
        if (key != "margin" && !findField(key)) {
            std::fprintf(stderr, "unknown key %s\n", key.c_str());
            return 1;
        }
        grid[key] = parseList(arg.substr(eq + 1));
    }

    std::vector<Case> cases = middleburyCases(root);
    for (Case& c : syntheticCases())
        cases.push_back(c);
    for (Case& c : cases)
        engineField(&c);

    // The timing pair and the fixed costs beside the pyramid's.
    const Case& timing = cases[cases.size() - 8]; // scene moved by 10 px
    std::vector<double> engineMs, disMs;
    cv::Ptr<cv::DISOpticalFlow> dis =
        cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
    cv::Mat disFlow;
    for (int i = 0; i < 7; ++i) {
        Case copy = timing;
        double start = threadMilliseconds();
        engineField(&copy);
        engineMs.push_back(threadMilliseconds() - start);
        start = threadMilliseconds();
        dis->calc(timing.older, timing.newer, disFlow);
        disMs.push_back(threadMilliseconds() - start);
    }
    std::sort(engineMs.begin(), engineMs.end());
    std::sort(disMs.begin(), disMs.end());
    std::printf("# timing pair %s: engine field %.2f ms, dis_medium %.2f ms "
                "(medians of 7)\n",
                timing.name.c_str(), engineMs[3], disMs[3]);

    std::printf("scale\tcoarsest\tfinest\talpha\tdelta\tgamma\touter\tinner\t"
                "omega\tfuse\tmargin\tms");
    for (const Case& c : cases)
        std::printf("\t%s", c.name.c_str());
    std::printf("\n");

    // Every combination of the grid's values, the defaults elsewhere.
    std::vector<std::string> keys;
    for (const auto& entry : grid)
        keys.push_back(entry.first);
    std::vector<std::size_t> index(keys.size(), 0);
    for (;;) {
        CvULKRefineParams p = ulk::defaultRefineParams();
        bool engine = true;
        double margin = ulk::kFuseMargin;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const double value = grid[keys[k]][index[k]];
            if (keys[k] == "margin") {
                margin = value;
            } else if (keys[k] == "fuseScale" && value < 0) {
                engine = false;
                p.fuseScale = 0;
            } else {
                findField(keys[k])->set(&p, value);
            }
        }
        const std::string problem = ulk::refineParamsProblem(p);
        if (!problem.empty()) {
            std::fprintf(stderr, "out of range: %s\n", problem.c_str());
            return 1;
        }
        std::vector<double> ms;
        for (int i = 0; i < 3; ++i)
            ms.push_back(refine(timing, p, engine, margin, nullptr));
        std::sort(ms.begin(), ms.end());
        std::printf("%g\t%d\t%g\t%g\t%g\t%g\t%d\t%d\t%g\t%g\t%g\t%.2f",
                    p.pyramidScale, p.coarsestSide, p.finestScale, p.alpha,
                    p.delta, p.gamma, p.outerIterations, p.innerIterations,
                    p.omega, engine ? p.fuseScale : -1.0, margin, ms[1]);
        for (const Case& c : cases) {
            cv::Mat flow;
            refine(c, p, engine, margin, &flow);
            std::printf(
                "\t%.4f",
                flowmetrics::compareFlow(flow, c.truth).averageEndpointError);
        }
        std::printf("\n");
        std::fflush(stdout);

        std::size_t k = 0;
        while (k < keys.size() && ++index[k] == grid[keys[k]].size())
            index[k++] = 0;
        if (k == keys.size())
            break;
    }
    return 0;
}
