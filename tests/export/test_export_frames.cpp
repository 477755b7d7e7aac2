// Tests of how the exporter pairs and sizes frames: --step, --resize and
// --short-side.
#include "export_clips.h"
#include "export_runs.h"
#include "support.h"

#include "batch_export.h"
#include "export_options.h"
#include "frame_source.h"

#include <gtest/gtest.h>
#include <opencv2/video.hpp>

#include <filesystem>

using namespace ulk::exporter;

namespace fs = std::filesystem;

struct SizeCase {
    cv::Size frame;
    int width;
    int height;
    int shortSide;
    cv::Size expected;
};

void PrintTo(const SizeCase& c, std::ostream* os)
{
    *os << c.frame << " resize " << c.width << "x" << c.height << " short side "
        << c.shortSide << " -> " << c.expected;
}

class FlowFrameSize : public testing::TestWithParam<SizeCase> {};

TEST_P(FlowFrameSize, FollowsResizeOrShortSide)
{
    const SizeCase& c = GetParam();
    EXPECT_EQ(flowFrameSize(c.frame, c.width, c.height, c.shortSide),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FlowFrameSize,
    testing::Values(SizeCase{{640, 360}, 0, 0, 0, {640, 360}},
                    SizeCase{{640, 360}, 320, 200, 0, {320, 200}},
                    SizeCase{
                        {640, 360}, 0, 0, 256, {455, 256}}, // 455.1 rounded
                    SizeCase{{360, 640}, 0, 0, 256, {256, 455}}, // portrait
                    SizeCase{{640, 480}, 0, 0, 600, {800, 600}}, // enlarged
                    SizeCase{{1000, 3}, 0, 0, 1, {333, 1}}, // 333.3 rounded
                    SizeCase{{101, 2}, 0, 0, 1, {51, 1}},   // 50.5 rounded up
                    SizeCase{{300, 300}, 0, 0, 128, {128, 128}}), // square
    [](const testing::TestParamInfo<SizeCase>& info) {
        return "case_" + std::to_string(info.index);
    });

// --step S pairs frame N with frame N + S, for every N, and names the pair
// after N.
TEST(Step, PairsEachFrameWithTheOneStepsLater)
{
    constexpr long kStep = 3;
    std::string dir = testRunDir();
    std::vector<cv::Mat> clip = shiftedClip(7, 1, 1);
    std::string frames = writeFrameFolder(dir + "/frames", clip);
    RunOutput run = runExport({frames, dir + "/out", "--step", "3", "--quiet"});
    ASSERT_EQ(run.code, kExitOk) << run.err;
    for (long i = 0; i + kStep < 7; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        cv::Mat written = cv::readOpticalFlow(dir + "/out/" + flowFileName(i));
        cv::Mat expected = engineFlow(toGrey(clip[i]), toGrey(clip[i + kStep]));
        ASSERT_EQ(written.size(), expected.size());
        EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
    }
    EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(7 - kStep)));

    // Three frames are too few for a step of three.
    std::string few = writeFrameFolder(dir + "/few", shiftedClip(3, 1, 1));
    RunOutput tooFew = runExport({few, dir + "/none", "--step=3", "--quiet"});
    EXPECT_EQ(tooFew.code, kExitFailure);
    EXPECT_NE(tooFew.err.find("fewer than the 4 that --step 3 needs"),
              std::string::npos)
        << tooFew.err;
}

// --stride S starts a pair at every S-th frame only, and a pair's files
// carry its older frame's number; --step is --gap under its older name.
TEST(Stride, PairsStartEveryStrideFramesAndKeepTheirFrameNumber)
{
    std::string dir = testRunDir();
    std::vector<cv::Mat> clip = shiftedClip(8, 1, 1);
    std::string frames = writeFrameFolder(dir + "/frames", clip);
    for (std::string gap : {"--gap", "--step"}) {
        SCOPED_TRACE(gap);
        std::string out = dir + "/out" + gap;
        RunOutput run = runExport({frames, out, gap, "2", "--stride=3", "-q"});
        ASSERT_EQ(run.code, kExitOk) << run.err;
        EXPECT_NE(run.out.find("2 pairs in"), std::string::npos) << run.out;
        EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 2);
        for (long older : {0, 3}) {
            cv::Mat written =
                cv::readOpticalFlow(out + "/" + flowFileName(older));
            cv::Mat expected =
                engineFlow(toGrey(clip[older]), toGrey(clip[older + 2]));
            ASSERT_EQ(written.size(), expected.size()) << older;
            EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0) << older;
        }
    }
}

// The engine sees the frames at the asked size, so the field has it too.
TEST(Resize, FieldIsComputedOnTheResizedFrames)
{
    std::string dir = testRunDir();
    std::vector<cv::Mat> clip = shiftedClip(2, 2, 0);
    std::string frames = writeFrameFolder(dir + "/frames", clip);
    cv::Size half(kClipWidth / 2, kClipHeight / 2);
    cv::Mat expected = engineFlow(resizedFrame(toGrey(clip[0]), half),
                                  resizedFrame(toGrey(clip[1]), half));

    struct Case {
        const char* name;
        std::vector<std::string> options;
    };
    for (const Case& c : {Case{"resize", {"--resize", "64x48"}},
                          Case{"short_side", {"--short-side=48"}}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{frames, dir + "/" + c.name, "--quiet"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunOutput run = runExport(args);
        ASSERT_EQ(run.code, kExitOk) << run.err;
        cv::Mat written =
            cv::readOpticalFlow(dir + "/" + c.name + "/" + flowFileName(0));
        ASSERT_EQ(written.size(), half);
        EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
    }
}
