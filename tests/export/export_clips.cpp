#include "export_clips.h"

#include "cvoptflowulk.h"

#include <gtest/gtest.h>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

std::vector<cv::Mat> shiftedClip(int frames, int dx, int dy)
{
    int margin = 4 + frames * std::max(std::abs(dx), std::abs(dy));
    cv::Mat texture(kClipHeight + 2 * margin, kClipWidth + 2 * margin, CV_8UC3,
                    cv::Scalar(90, 110, 130));
    cv::RNG rng(12345);
    for (int i = 0; i < 60; ++i) {
        cv::Point a(rng.uniform(0, texture.cols), rng.uniform(0, texture.rows));
        cv::Point b = a + cv::Point(rng.uniform(6, 30), rng.uniform(6, 30));
        cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256),
                          rng.uniform(0, 256));
        if (i % 2)
            cv::rectangle(texture, a, b, colour, cv::FILLED);
        else
            cv::circle(texture, a, rng.uniform(4, 16), colour, cv::FILLED);
    }
    std::vector<cv::Mat> clip;
    for (int i = 0; i < frames; ++i) {
        cv::Rect window(margin - i * dx, margin - i * dy, kClipWidth,
                        kClipHeight);
        clip.push_back(texture(window).clone());
    }
    return clip;
}

std::string writeFrameFolder(const std::string& dir,
                             const std::vector<cv::Mat>& clip)
{
    fs::create_directories(dir);
    for (size_t i = 0; i < clip.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "frame%03zu.png", i);
        EXPECT_TRUE(cv::imwrite((fs::path(dir) / name).string(), clip[i]));
    }
    return dir;
}

std::string writeMjpgClip(const std::string& path,
                          const std::vector<cv::Mat>& clip)
{
    fs::create_directories(fs::path(path).parent_path());
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                           10.0, clip[0].size(), true);
    EXPECT_TRUE(writer.isOpened());
    for (const cv::Mat& frame : clip)
        writer.write(frame);
    return path;
}
