// The synthetic motions on which the refined mode is measured and its
// settings chosen: three frames of 640x480 (a texture with structure at
// every scale, a tiled pattern, the sample clip maker's scene), each moved
// along (0.8, 0.6) by 5 to 80 pixels and turned by 1 to 3 degrees with a
// zoom of 2 to 5 %, the borders reflected.
#ifndef OF_ULK_BENCH_MOTION_CASES_H
#define OF_ULK_BENCH_MOTION_CASES_H

#include "flow_metrics.h"
#include "synthetic_scene.h"

#include <string>
#include <utility>
#include <vector>

namespace ulk::bench {

struct MotionCase {
    std::string frame;  // "texture", "repeat" or "scene"
    std::string motion; // "t5" ... "t80" (pixels), "r1" ... "r3" (degrees)
    flowmetrics::MovedFrames pair;
};

// Translation distances, in pixels, and turns (degrees, zoom factor).
const int kMotionDistances[] = {5, 10, 20, 40, 60, 80};
const double kMotionTurns[][2] = {{1.0, 1.02}, {2.0, 1.035}, {3.0, 1.05}};

inline std::vector<MotionCase> motionCases()
{
    const cv::Size size(640, 480);
    const std::pair<std::string, cv::Mat> frames[] = {
        {"texture", flowmetrics::makeTexture(size, 3)},
        {"repeat", flowmetrics::makeRepetitiveTexture(size, 5)},
        {"scene",
         tools::SyntheticScene(size.width, size.height, 2).greyFrame(0)}};
    std::vector<MotionCase> cases;
    for (const auto& [name, frame] : frames) {
        for (const int d : kMotionDistances)
            cases.push_back(
                {name, "t" + std::to_string(d),
                 flowmetrics::makeMovedFrames(
                     frame, flowmetrics::translation(d, 0.8, 0.6))});
        for (const auto& turn : kMotionTurns)
            cases.push_back({name, "r" + std::to_string(int(turn[0])),
                             flowmetrics::makeMovedFrames(
                                 frame, flowmetrics::rotationZoom(size, turn[0],
                                                                  turn[1]))});
    }
    return cases;
}

} // namespace ulk::bench

#endif
