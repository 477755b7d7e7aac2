// Tests of the xy images: the coding of one velocity as 8-bit grey, and
// whole runs that write them instead of .flo files.
#include "export_clips.h"
#include "support.h"

#include "batch_export.h"
#include "export_options.h"
#include "frame_source.h"
#include "xy_coding.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <sstream>

using namespace ulk::exporter;

namespace fs = std::filesystem;

struct XyCase {
    float v;
    double bound;
    int grey;
};

void PrintTo(const XyCase& c, std::ostream* os)
{
    *os << "v " << c.v << ", bound " << c.bound << " -> " << c.grey;
}

class XyCoding : public testing::TestWithParam<XyCase> {};

TEST_P(XyCoding, GivesTheConventionGrey)
{
    const XyCase& c = GetParam();
    cv::Mat component(2, 3, CV_32FC1, cv::Scalar(c.v));
    cv::Mat coded = xyComponentImage(component, c.bound);
    ASSERT_EQ(coded.type(), CV_8UC1);
    ASSERT_EQ(coded.size(), component.size());
    EXPECT_EQ(cv::countNonZero(coded != c.grey), 0)
        << "first value " << int(coded.at<uchar>(0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Values, XyCoding,
    testing::Values(XyCase{0.0f, 20.0, 128}, XyCase{20.0f, 20.0, 255},
                    XyCase{-20.0f, 20.0, 1}, XyCase{10.0f, 20.0, 192},
                    XyCase{-5.0f, 20.0, 96}, XyCase{21.0f, 20.0, 255},
                    XyCase{-21.0f, 20.0, 0}, XyCase{1e30f, 20.0, 255},
                    XyCase{-1e30f, 20.0, 0}, XyCase{NAN, 20.0, 128},
                    XyCase{1.0f, 2.0, 192}, XyCase{-2.0f, 2.0, 1}),
    [](const testing::TestParamInfo<XyCase>& info) {
        return "case_" + std::to_string(info.index);
    });

// --format xy writes an x and a y image per pair and no .flo file; the PNG
// images hold exactly the coding of the engine's field.
TEST(XyRun, PngImagesHoldTheCodedEngineField)
{
    constexpr double kBound = 4.0;
    std::string dir = testRunDir();
    std::vector<cv::Mat> clip = shiftedClip(3, 2, -1);
    std::string frames = writeFrameFolder(dir + "/frames", clip);
    std::ostringstream out;
    std::ostringstream err;
    int code = exportMain({frames, dir + "/out", "--format", "xy", "--bound",
                           "4", "--xy-png", "--quiet"},
                          out, err);
    ASSERT_EQ(code, kExitOk) << err.str();

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir + "/out"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{
                         xFileName(0, true), xFileName(1, true),
                         yFileName(0, true), yFileName(1, true)}));

    for (long i = 0; i < 2; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        cv::Mat older = toGrey(clip[i]);
        cv::Mat newer = toGrey(clip[i + 1]);
        cv::Mat velocity[2];
        cv::split(engineFlow(older, newer), velocity);
        const cv::Mat& velx = velocity[0];
        const cv::Mat& vely = velocity[1];
        cv::Mat x = cv::imread(dir + "/out/" + xFileName(i, true),
                               cv::IMREAD_UNCHANGED);
        cv::Mat y = cv::imread(dir + "/out/" + yFileName(i, true),
                               cv::IMREAD_UNCHANGED);
        ASSERT_EQ(x.type(), CV_8UC1);
        EXPECT_EQ(cv::norm(x, xyComponentImage(velx, kBound), cv::NORM_INF),
                  0.0);
        EXPECT_EQ(cv::norm(y, xyComponentImage(vely, kBound), cv::NORM_INF),
                  0.0);
        // The scene moves right and up: x above 128 on average, y below.
        EXPECT_GT(cv::mean(x)[0], 128.0);
        EXPECT_LT(cv::mean(y)[0], 128.0);
    }

    // JPEG is the default; the images decode to the frame size.
    code =
        exportMain({frames, dir + "/jpeg", "--format=xy", "--quiet"}, out, err);
    ASSERT_EQ(code, kExitOk) << err.str();
    cv::Mat x =
        cv::imread(dir + "/jpeg/" + xFileName(1, false), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(x.size(), cv::Size(kClipWidth, kClipHeight));
    EXPECT_FALSE(fs::exists(dir + "/jpeg/" + flowFileName(0)));
}
