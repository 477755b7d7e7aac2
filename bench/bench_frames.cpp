// The benchmarks' frame pairs.
#include "bench_frames.h"

#include "synthetic_scene.h"

#include <opencv2/imgproc.hpp>

#include <map>
#include <tuple>

namespace ulk::bench {

namespace {

// Consecutive pairs of the scene, cycled through, so that no method works
// on one repeated pair only.
const int kPairCount = 4;
// Seed of the scene: the same frames in every run.
const unsigned kSceneSeed = 1;

// The texture's grain: random values on a grid of this spacing, smoothly
// interpolated between.
const int kTextureGrain = 4;
const unsigned kTextureSeed = 5;

// The texture cut out at (8 + dx, 8 + dy): cutting at (8, 8) and at
// (6, 7) gives the motion (2, 1).
cv::Mat textureAt(cv::Size size, int dx, int dy)
{
    cv::RNG rng(kTextureSeed);
    cv::Mat grid((size.height + 32) / kTextureGrain + 1,
                 (size.width + 32) / kTextureGrain + 1, CV_8UC1);
    rng.fill(grid, cv::RNG::UNIFORM, 0, 256);
    cv::Mat fine;
    cv::resize(grid, fine, grid.size() * kTextureGrain, 0, 0, cv::INTER_CUBIC);
    return fine(cv::Rect(8 + dx, 8 + dy, size.width, size.height)).clone();
}

} // namespace

const char* contentSuffix(Content content)
{
    switch (content) {
    case Content::Scene:
        return "";
    case Content::Textured:
        return "/textured";
    case Content::Striped:
        return "/striped";
    }
    return "";
}

const FramePairs& framePairs(Content content, cv::Size size)
{
    static std::map<std::tuple<int, int, int>, FramePairs> cache;
    FramePairs& pairs = cache[{int(content), size.width, size.height}];
    if (!pairs.empty())
        return pairs;
    switch (content) {
    case Content::Scene: {
        const tools::SyntheticScene scene(size.width, size.height, kSceneSeed);
        cv::Mat previous = scene.greyFrame(0);
        for (int i = 1; i <= kPairCount; ++i) {
            cv::Mat next = scene.greyFrame(i);
            pairs.emplace_back(previous, next);
            previous = next;
        }
        break;
    }
    case Content::Textured:
        pairs.emplace_back(textureAt(size, 2, 1), textureAt(size, 0, 0));
        break;
    case Content::Striped:
        pairs.emplace_back(tools::diagonalStripes(size, 0),
                           tools::diagonalStripes(size, 3));
        break;
    }
    return pairs;
}

} // namespace ulk::bench
