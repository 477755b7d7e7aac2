// The engine's time per stage on one thread, on the benchmarks' scene,
// textured frame or diagonal stripes: the median over many calls of each stage
// and of the whole call, on one line. Built against any version of the library
// that records its stage times, so that scripts/compare_versions can alternate
// two versions on the same frames. threads sets OpenCV's thread count (1 by
// default); the stage times are then those of the calling thread's wall
// clock.
//
//   stage_times scene|textured|striped [width height [calls [threads]]]
#include "bench_frames.h"
#include "cvoptflowulk.h"
#include "engine/stage_timing.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace ulk;
using namespace ulk::bench;

namespace {

// Stage names in EngineStage order.
const char* const kStageNames[kStageCount] = {"preprocess",   "segmentation",
                                              "track_points", "motion",
                                              "dense_field",  "smoothing"};

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2,
                     values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const char* const names[] = {"scene", "textured", "striped"};
    const Content contents[] = {Content::Scene, Content::Textured,
                                Content::Striped};
    int which = -1;
    for (int i = 0; i < 3 && argc >= 2; ++i)
        if (std::strcmp(argv[1], names[i]) == 0)
            which = i;
    if (which < 0) {
        std::fprintf(stderr, "usage: stage_times scene|textured|striped "
                             "[width height [calls [threads]]]\n");
        return 2;
    }
    const cv::Size size(argc > 3 ? std::atoi(argv[2]) : 640,
                        argc > 3 ? std::atoi(argv[3]) : 480);
    const int calls = argc > 4 ? std::max(1, std::atoi(argv[4])) : 160;
    cv::setNumThreads(argc > 5 ? std::max(1, std::atoi(argv[5])) : 1);

    const FramePairs& pairs = framePairs(contents[which], size);
    cv::Mat velx(size, CV_32FC1), vely(size, CV_32FC1);
    CvMemStorage* storage = cvCreateMemStorage(0);
    std::vector<double> total;
    std::vector<double> stage[kStageCount];
    for (int call = 0; call < calls; ++call) {
        const auto& pair = pairs[size_t(call) % pairs.size()];
        CvMat a = cvMat(pair.first), b = cvMat(pair.second);
        CvMat x = cvMat(velx), y = cvMat(vely);
        ulkResetStageSeconds();
        const auto start = std::chrono::steady_clock::now();
        cvCalcOpticalFlowULK(&a, &b, &x, &y, storage, nullptr);
        total.push_back(1e3 * std::chrono::duration<double>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
        for (int s = 0; s < kStageCount; ++s)
            stage[s].push_back(1e3 * ulkStageSeconds()[s]);
        cvClearMemStorage(storage);
    }
    cvReleaseMemStorage(&storage);

    std::printf("%s %dx%d total %.3f", argv[1], size.width, size.height,
                median(total));
    for (int s = 0; s < kStageCount; ++s)
        std::printf(" %s %.3f", kStageNames[s], median(stage[s]));
    std::printf("\n");
    return 0;
}
