// The frame pairs that the benchmarks time: the sample clip maker's scene,
// a finely textured frame and diagonal stripes, the same in every run.
#ifndef OF_ULK_BENCH_FRAMES_H
#define OF_ULK_BENCH_FRAMES_H

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

namespace ulk::bench {

// What the frames show.
enum class Content {
    Scene,    // the sample clip maker's scene, four consecutive pairs
    Textured, // fine random texture moved by (2, 1) pixels
    Striped   // diagonal stripes moved by 3 pixels to the right
};

// Suffix of a benchmark's name; the scene has none.
const char* contentSuffix(Content content);

using FramePairs = std::vector<std::pair<cv::Mat, cv::Mat>>;

// The grey frame pairs (older, newer) of one content and size, made on the
// first call and kept.
const FramePairs& framePairs(Content content, cv::Size size);

} // namespace ulk::bench

#endif
