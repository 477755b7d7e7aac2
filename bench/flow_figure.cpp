// flow_figure: one Middlebury pair's velocity field from the engine's default
// mode, its refined mode, DIS ULTRAFAST and the ground truth, side by side in
// the colour-wheel coding of of_ulk_export, one saturation scale for all.
//
// Usage: flow_figure PAIR_FOLDER OUTPUT.png
#include "flow_metrics.h"
#include "flow_peers.h"
#include "flow_wheel.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>
#include <vector>

using namespace ulk::viz;
using namespace ulk::bench;

namespace {

// Height of the caption band above each panel and the gap between panels.
const int kCaptionHeight = 28;
const int kGap = 8;

cv::Mat panel(const cv::Mat& flow, double maxSpeed, const std::string& caption)
{
    cv::Mat channels[2];
    cv::split(flow, channels);
    const cv::Mat wheel = renderFlowWheel(channels[0], channels[1], maxSpeed);
    cv::Mat out(wheel.rows + kCaptionHeight, wheel.cols, CV_8UC3,
                cv::Scalar::all(255));
    wheel.copyTo(out(cv::Rect(0, kCaptionHeight, wheel.cols, wheel.rows)));
    cv::putText(out, caption, cv::Point(6, kCaptionHeight - 8),
                cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar::all(0), 1,
                cv::LINE_AA);
    return out;
}

std::string captionOf(const std::string& name, const cv::Mat& flow,
                      const cv::Mat& truth)
{
    char text[128];
    std::snprintf(text, sizeof(text), "%s, AEE %.2f px", name.c_str(),
                  flowmetrics::compareFlow(flow, truth).averageEndpointError);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "Usage: flow_figure PAIR_FOLDER OUTPUT.png\n");
        return 2;
    }
    const std::string folder = argv[1];
    const cv::Mat older =
        cv::imread(folder + "/frame10.png", cv::IMREAD_GRAYSCALE);
    const cv::Mat newer =
        cv::imread(folder + "/frame11.png", cv::IMREAD_GRAYSCALE);
    std::string error;
    const cv::Mat truth = flowmetrics::readFlo(folder + "/flow10.flo", &error);
    if (older.empty() || newer.empty() || truth.empty()) {
        std::fprintf(stderr, "%s: frames or ground truth unreadable %s\n",
                     folder.c_str(), error.c_str());
        return 1;
    }

    UlkFlow ulk(false);
    UlkFlow refined(false, CV_ULK_REFINED_DEFAULT);
    DisFlow dis(cv::DISOpticalFlow::PRESET_ULTRAFAST);
    FlowMethod* methods[] = {&ulk, &refined, &dis};
    const char* names[] = {"default", "refined", "DIS ultrafast"};

    // One scale for every panel: the truth's largest known speed, so that
    // equal colours mean equal motion across the panels.
    cv::Mat truthChannels[2];
    cv::split(truth, truthChannels);
    const double maxSpeed = largestSpeed(truthChannels[0], truthChannels[1]);

    std::vector<cv::Mat> panels;
    for (int i = 0; i < 3; ++i) {
        methods[i]->run(older, newer);
        const cv::Mat flow = methods[i]->flow();
        panels.push_back(
            panel(flow, maxSpeed, captionOf(names[i], flow, truth)));
    }
    panels.push_back(panel(truth, maxSpeed, "ground truth"));

    const int width = 4 * panels[0].cols + 3 * kGap;
    cv::Mat figure(panels[0].rows, width, CV_8UC3, cv::Scalar::all(255));
    for (int i = 0; i < 4; ++i)
        panels[size_t(i)].copyTo(figure(cv::Rect(
            i * (panels[0].cols + kGap), 0, panels[0].cols, panels[0].rows)));
    if (!cv::imwrite(argv[2], figure, {cv::IMWRITE_PNG_COMPRESSION, 9})) {
        std::fprintf(stderr, "Could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
