// Tests of the batch exporter: command line, frame order, progress text,
// and whole runs on clips drawn in code.
#include "export_clips.h"
#include "export_runs.h"
#include "support.h"

#include "batch_export.h"
#include "export_options.h"
#include "frame_source.h"
#include "progress.h"

#include "cvoptflowulk.h"

#include <gtest/gtest.h>
#include <opencv2/core/types_c.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video.hpp>
#include <opencv2/videoio.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>

using namespace ulk::exporter;

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> sortedNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// ---------------------------------------------------------------------------
// Command line

TEST(ExportOptions, EveryOptionIsParsedInBothValueForms)
{
    ExportOptions o;
    std::string error;
    ASSERT_TRUE(
        parseExportOptions({"a.png", "-j", "3", "b.png", "out"}, o, error));
    EXPECT_EQ(o.jobs, 3);
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.png", "b.png"}));
    EXPECT_EQ(o.outputDir, "out");
    ASSERT_TRUE(parseExportOptions({"clip.avi", "out", "--wheel", "--legend",
                                    "tr", "--max-speed=2.5", "--max-pairs", "7",
                                    "--jobs=4", "--force", "--quiet", "--png"},
                                   o, error))
        << error;
    EXPECT_EQ(o.inputs, std::vector<std::string>{"clip.avi"});
    EXPECT_EQ(o.legend, ulk::viz::LegendCorner::TopRight);
    EXPECT_DOUBLE_EQ(o.maxSpeed, 2.5);
    EXPECT_EQ(o.maxPairs, 7);
    EXPECT_EQ(o.jobs, 4);
    EXPECT_TRUE(o.wheel && o.png && o.force && o.quiet);
    EXPECT_FALSE(o.refined);
    ASSERT_TRUE(parseExportOptions({"clip.avi", "out", "--refined"}, o, error));
    EXPECT_TRUE(o.refined);
    EXPECT_DOUBLE_EQ(o.refineParams.alpha, cvULKRefineParams().alpha);
    // A refined-mode setting selects the refined mode and sets its field.
    ASSERT_TRUE(parseExportOptions({"clip.avi", "out", "--refine-alpha=12.5",
                                    "--refine-outer", "3", "--refine-scale",
                                    "0.7", "--refine-fuse", "0.5"},
                                   o, error))
        << error;
    EXPECT_TRUE(o.refined);
    EXPECT_DOUBLE_EQ(o.refineParams.alpha, 12.5);
    EXPECT_EQ(o.refineParams.outerIterations, 3);
    EXPECT_DOUBLE_EQ(o.refineParams.pyramidScale, 0.7);
    EXPECT_DOUBLE_EQ(o.refineParams.fuseScale, 0.5);
    EXPECT_EQ(o.refineParams.innerIterations,
              cvULKRefineParams().innerIterations);
}

struct BadCommandLine {
    std::vector<std::string> args;
    const char* complaint;
};

// The arguments joined by spaces.
std::string joinedArgs(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& a : args)
        line += (line.empty() ? "" : " ") + a;
    return line;
}

void PrintTo(const BadCommandLine& bad, std::ostream* os)
{
    std::string line = joinedArgs(bad.args);
    *os << (line.empty() ? "(no arguments)" : line)
        << " (complaint: " << bad.complaint << ")";
}

class ExportOptionsRefused : public testing::TestWithParam<BadCommandLine> {};

TEST_P(ExportOptionsRefused, WithExitCodeTwoAndAReason)
{
    const BadCommandLine& bad = GetParam();
    std::string line;
    for (const std::string& a : bad.args)
        line += a + " ";
    SCOPED_TRACE(line);
    RunOutput run = runExport(bad.args);
    EXPECT_EQ(run.code, kExitUsage);
    EXPECT_TRUE(contains(run.err, bad.complaint)) << run.err;
    EXPECT_TRUE(contains(run.err, "--help")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, ExportOptionsRefused,
    testing::Values(
        BadCommandLine{{}, "give an input"},
        BadCommandLine{{"clip.avi"}, "give an input"},
        BadCommandLine{{"a", "b", "c", "d"}, "too many"},
        BadCommandLine{{"--bogus", "clip.avi", "out"}, "unknown option"},
        BadCommandLine{{"-j", "0", "clip.avi", "out"}, "--jobs"},
        BadCommandLine{{"--jobs=two", "clip.avi", "out"}, "--jobs"},
        BadCommandLine{{"clip.avi", "out", "--jobs"}, "needs a value"},
        BadCommandLine{{"--wheel", "--max-speed", "-1", "clip.avi", "out"},
                       "--max-speed"},
        BadCommandLine{{"--wheel", "--legend", "middle", "clip.avi", "out"},
                       "--legend"},
        BadCommandLine{{"--legend", "br", "clip.avi", "out"}, "add --wheel"},
        BadCommandLine{{"--png=yes", "clip.avi", "out"}, "takes no value"},
        BadCommandLine{{"--max-pairs", "0", "clip.avi", "out"}, "--max-pairs"},
        BadCommandLine{{"--format", "avi", "clip.avi", "out"}, "flo or xy"},
        BadCommandLine{{"--bound", "5", "clip.avi", "out"}, "--format xy"},
        BadCommandLine{{"--format=xy", "--bound=0", "clip.avi", "out"},
                       "--bound"},
        BadCommandLine{{"--step", "0", "clip.avi", "out"}, "--step"},
        BadCommandLine{{"--resize", "64x", "clip.avi", "out"}, "WIDTHxHEIGHT"},
        BadCommandLine{{"--resize=8x8", "--short-side=4", "clip.avi", "out"},
                       "not both"},
        BadCommandLine{{"--refine-coarsest", "3", "clip.avi", "out"},
                       "--refine-coarsest needs a whole number from 4 to 1024"},
        BadCommandLine{{"--refine-inner=101", "clip.avi", "out"},
                       "--refine-inner needs a whole number from 1 to 100"},
        BadCommandLine{{"--refine-alpha", "-2", "clip.avi", "out"},
                       "--refine-alpha needs a positive number"}),
    [](const testing::TestParamInfo<BadCommandLine>& info) {
        std::string name = paramName(joinedArgs(info.param.args));
        return name.empty() ? std::string("no_arguments") : name;
    });

// Each option line of the help names an option that the parser knows: a
// flag takes no value; an option with an argument refuses a wrong one in
// an error that names the option, and accepts what that error asks for:
// each listed word, both ends of a range (the numbers just outside are
// refused), or any positive number (0 is refused).
TEST(ExportOptions, HelpAndParserAgreeOnEveryOption)
{
    std::istringstream help(exportHelpText());
    const std::regex optionLine(R"(^  (?:(-\w), )?(--[\w-]+)(?: (\S+))?  )");
    const std::regex range(R"(from (\d+) to (\d+))");
    // --max-speed and --legend need --wheel, --bound and --xy-png need xy.
    auto parses = [](const std::vector<std::string>& extra,
                     std::string& error) {
        std::vector<std::string> args = {"a", "out", "--wheel", "--format=xy"};
        args.insert(args.end(), extra.begin(), extra.end());
        ExportOptions o;
        return parseExportOptions(args, o, error);
    };
    int options = 0;
    for (std::string line; std::getline(help, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, optionLine))
            continue;
        SCOPED_TRACE(line);
        ++options;
        const std::string name = m[2];
        const std::string metavar = m[3];
        std::string error;
        if (metavar.empty()) {
            for (std::string given : {std::string(m[1]), name})
                if (!given.empty()) {
                    EXPECT_TRUE(parses({given}, error)) << error;
                }
            if (name != "--help") {
                EXPECT_FALSE(parses({name + "=1"}, error));
                EXPECT_EQ(error, "option " + name + " takes no value");
            }
            continue;
        }
        if (m[1].matched) {
            EXPECT_TRUE(parses({m[1], "1"}, error)) << error;
        }
        ASSERT_FALSE(parses({name, "?"}, error));
        ASSERT_EQ(error.rfind(name + " needs ", 0), 0u) << error;
        // What the error asks for, between "needs " and ", not '?'".
        std::string asked = error.substr(name.size() + 7);
        asked.erase(asked.find(", not '"));
        std::smatch r;
        auto value = [&](long n) {
            std::string v = std::to_string(n);
            return metavar == "WxH" ? v + "x" + v : v;
        };
        if (asked.find(" or ") != std::string::npos) {
            std::regex word(R"((\w+)(?:, | or |$))");
            for (std::sregex_iterator w(asked.begin(), asked.end(), word), end;
                 w != end; ++w)
                EXPECT_TRUE(parses({name, (*w)[1]}, error)) << error;
        } else if (std::regex_search(asked, r, range)) {
            long low = std::stol(r[1]);
            long high = std::stol(r[2]);
            EXPECT_TRUE(parses({name, value(low)}, error)) << error;
            EXPECT_TRUE(parses({name, value(high)}, error)) << error;
            EXPECT_FALSE(parses({name, value(low - 1)}, error));
            EXPECT_FALSE(parses({name, value(high + 1)}, error));
        } else {
            EXPECT_NE(asked.find("positive"), std::string::npos) << error;
            EXPECT_TRUE(parses({name, "1"}, error)) << error;
            EXPECT_FALSE(parses({name, "0"}, error));
        }
    }
    EXPECT_GE(options, 16);
}

// ---------------------------------------------------------------------------
// Frame folders

TEST(FrameNames, NumbersSortByValueAndOtherFilesAreSkipped)
{
    std::string dir = testTempDir("export_frame_names");
    cv::Mat pixel(4, 4, CV_8UC1, cv::Scalar(7));
    for (const char* name : {"f10.png", "f2.png", "f1.png", "f9.JPG"})
        ASSERT_TRUE(cv::imwrite((fs::path(dir) / name).string(), pixel));
    std::ofstream(fs::path(dir) / "notes.txt") << "not a frame";
    std::ofstream(fs::path(dir) / ".hidden.png") << "not a frame";
    fs::create_directories(fs::path(dir) / "sub.png");

    std::vector<std::string> files = listFrameFiles(dir);
    std::vector<std::string> names;
    for (const std::string& file : files)
        names.push_back(fs::path(file).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"f1.png", "f2.png", "f9.JPG",
                                               "f10.png"}));
    // Zero-padded names keep plain order; a longer number is larger.
    EXPECT_TRUE(frameNameLess("img_0009.png", "img_0010.png"));
    EXPECT_TRUE(frameNameLess("a99b", "a100a"));
    EXPECT_FALSE(frameNameLess("a100a", "a99b"));
}

// ---------------------------------------------------------------------------
// Progress text

TEST(Progress, LineShowsCountRateAndTimeLeft)
{
    EXPECT_EQ(formatProgress(50, 100, true, 10.0),
              "pairs 50/100, 5.00 pairs/s, 0:10 left");
    EXPECT_EQ(formatProgress(10, 373, false, 4.0),
              "pairs 10/~373, 2.50 pairs/s, 2:25 left");
    // Without a total there is nothing to count down.
    EXPECT_EQ(formatProgress(7, -1, false, 2.0), "pairs 7, 3.50 pairs/s");
    EXPECT_EQ(formatProgress(0, 10, true, 0.0), "pairs 0/10, 0.00 pairs/s");
    EXPECT_EQ(formatDuration(3725.4), "1:02:05");
    EXPECT_EQ(formatDuration(59.6), "1:00");
}

// ---------------------------------------------------------------------------
// Whole runs

enum class SourceKind { Folder, Video, ImagePair };

const char* sourceKindName(SourceKind kind)
{
    const char* names[] = {"folder", "video", "image_pair"};
    return names[static_cast<int>(kind)];
}

void PrintTo(SourceKind kind, std::ostream* os)
{
    *os << sourceKindName(kind);
}

class RoundTrip : public testing::TestWithParam<SourceKind> {};

// The .flo files read back equal the engine's own maps for the same grey
// frames, for every kind of input.
TEST_P(RoundTrip, FloFilesEqualTheEngineMaps)
{
    SourceKind kind = GetParam();
    std::string name = sourceKindName(kind);
    SCOPED_TRACE(name);
    std::string dir = testTempDir("export_round_trip_" + name);
    std::vector<cv::Mat> clip = shiftedClip(4, 2, 1);

    std::vector<std::string> inputs;
    std::vector<cv::Mat> greys; // what the exporter should have seen
    if (kind == SourceKind::Video) {
        std::string path = writeMjpgClip(dir + "/clip.avi", clip);
        inputs = {path};
        cv::VideoCapture capture(path);
        cv::Mat frame;
        while (capture.read(frame))
            greys.push_back(toGrey(frame));
    } else {
        std::string frames = writeFrameFolder(dir + "/frames", clip);
        inputs = {frames};
        if (kind == SourceKind::ImagePair)
            inputs = {frames + "/frame000.png", frames + "/frame001.png"};
        for (const cv::Mat& frame : clip)
            greys.push_back(toGrey(frame));
        if (kind == SourceKind::ImagePair)
            greys.resize(2);
    }
    ASSERT_GE(greys.size(), 2u);

    std::vector<std::string> args = inputs;
    args.push_back(dir + "/out");
    args.push_back("--quiet");
    RunOutput run = runExport(args);
    ASSERT_EQ(run.code, kExitOk) << run.err;
    EXPECT_TRUE(contains(run.out, std::to_string(greys.size() - 1) + " pairs"))
        << run.out;

    for (size_t i = 0; i + 1 < greys.size(); ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        cv::Mat written =
            cv::readOpticalFlow(dir + "/out/" + flowFileName(long(i)));
        ASSERT_EQ(written.type(), CV_32FC2);
        cv::Mat expected = engineFlow(greys[i], greys[i + 1]);
        ASSERT_EQ(written.size(), expected.size());
        EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
    }
    EXPECT_FALSE(
        fs::exists(dir + "/out/" + flowFileName(long(greys.size() - 1))));

    // The scene moved right and down, and so does the mean of the written
    // field: velocities are neither lost nor swapped nor flipped.
    cv::Scalar mean =
        cv::mean(cv::readOpticalFlow(dir + "/out/" + flowFileName(0)));
    EXPECT_GT(mean[0], 0.5);
    EXPECT_GT(mean[1], 0.25);
}

INSTANTIATE_TEST_SUITE_P(Inputs, RoundTrip,
                         testing::Values(SourceKind::Folder, SourceKind::Video,
                                         SourceKind::ImagePair),
                         [](const testing::TestParamInfo<SourceKind>& info) {
                             return std::string(sourceKindName(info.param));
                         });

TEST(Ordering, OneAndFourWorkersWriteIdenticalFiles)
{
    std::string dir = testTempDir("export_ordering");
    std::string frames =
        writeFrameFolder(dir + "/frames", shiftedClip(9, 3, -1));
    std::vector<std::string> common = {frames,     "--png", "--wheel",
                                       "--legend", "bl",    "--quiet"};
    std::vector<std::string> one = common;
    one.insert(one.end(), {dir + "/one", "-j", "1"});
    std::vector<std::string> four = common;
    four.insert(four.end(), {dir + "/four", "-j", "4"});

    RunOutput runOne = runExport(one);
    ASSERT_EQ(runOne.code, kExitOk) << runOne.err;
    EXPECT_TRUE(contains(runOne.out, "1 worker)")) << runOne.out;
    RunOutput runFour = runExport(four);
    ASSERT_EQ(runFour.code, kExitOk) << runFour.err;
    EXPECT_TRUE(contains(runFour.out, "4 workers")) << runFour.out;

    std::vector<std::string> names = sortedNames(dir + "/one");
    ASSERT_EQ(names.size(), 8u * 3u);
    ASSERT_EQ(names, sortedNames(dir + "/four"));
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(dir + "/one/" + name),
                  readFile(dir + "/four/" + name));
    }
    // The images are the field's: the own rendering and the wheel decode
    // to frame-size colour images.
    cv::Mat colour = cv::imread(dir + "/one/" + colourFileName(0));
    cv::Mat wheel = cv::imread(dir + "/one/" + wheelFileName(7));
    EXPECT_EQ(colour.size(), cv::Size(kClipWidth, kClipHeight));
    EXPECT_EQ(wheel.size(), cv::Size(kClipWidth, kClipHeight));
}

// ---------------------------------------------------------------------------
// Progress, summary and failures of whole runs

TEST(ExportRun, ProgressLineUnlessQuietSummaryAlwaysMaxPairsHonoured)
{
    std::string dir = testTempDir("export_progress");
    std::string frames =
        writeFrameFolder(dir + "/frames", shiftedClip(4, 1, 1));

    RunOutput loud = runExport({frames, dir + "/loud"});
    ASSERT_EQ(loud.code, kExitOk) << loud.err;
    EXPECT_TRUE(contains(loud.err, "pairs 3/3, ")) << loud.err;
    EXPECT_TRUE(contains(loud.err, "pairs/s")) << loud.err;
    EXPECT_EQ(loud.err.back(), '\n');
    EXPECT_TRUE(contains(loud.out, "3 pairs in ")) << loud.out;
    EXPECT_TRUE(contains(loud.out, "mean engine time")) << loud.out;

    RunOutput quiet =
        runExport({frames, dir + "/quiet", "--quiet", "--max-pairs", "2"});
    ASSERT_EQ(quiet.code, kExitOk) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_TRUE(contains(quiet.out, "2 pairs in ")) << quiet.out;
    EXPECT_EQ(sortedNames(dir + "/quiet"),
              (std::vector<std::string>{flowFileName(0), flowFileName(1)}));
}

struct BadInput {
    const char* name;
    const char* complaint;
};

void PrintTo(const BadInput& bad, std::ostream* os)
{
    *os << bad.name << " (complaint: " << bad.complaint << ")";
}

class ExportRunRefused : public testing::TestWithParam<BadInput> {};

// Unreadable input of each kind: exit 1, a message naming the problem and
// no flow file.
TEST_P(ExportRunRefused, UnreadableInput)
{
    const BadInput& bad = GetParam();
    SCOPED_TRACE(bad.name);
    std::string dir = testTempDir(std::string("export_bad_") + bad.name);
    std::vector<std::string> args;
    std::string which = bad.name;
    if (which == "missing_file") {
        args = {dir + "/nothing.avi"};
    } else if (which == "one_frame") {
        writeFrameFolder(dir + "/frames", shiftedClip(1, 0, 0));
        args = {dir + "/frames"};
    } else if (which == "broken_image") {
        writeFrameFolder(dir + "/frames", shiftedClip(1, 0, 0));
        std::ofstream(dir + "/frames/frame001.png") << "no png inside";
        args = {dir + "/frames/frame000.png", dir + "/frames/frame001.png"};
    } else if (which == "sizes_differ") {
        writeFrameFolder(dir + "/frames", shiftedClip(2, 0, 0));
        cv::imwrite(dir + "/frames/frame002.png",
                    cv::Mat(40, 50, CV_8UC3, cv::Scalar(9, 9, 9)));
        args = {dir + "/frames"};
    }
    args.push_back(dir + "/out");
    RunOutput run = runExport(args);
    EXPECT_EQ(run.code, kExitFailure);
    EXPECT_TRUE(contains(run.err, bad.complaint)) << run.err;
    EXPECT_EQ(run.out, "");
    if (which == "sizes_differ") {
        // The pair before the odd frame was already written, in order.
        EXPECT_TRUE(fs::exists(dir + "/out/" + flowFileName(0)));
        EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(1)));
    } else {
        EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(0)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ExportRunRefused,
    testing::Values(BadInput{"missing_file", "no such file"},
                    BadInput{"one_frame", "fewer than two"},
                    BadInput{"broken_image", "cannot read image"},
                    BadInput{"sizes_differ", "is 50x40 but frame 1 is 128x96"}),
    [](const testing::TestParamInfo<BadInput>& info) {
        return std::string(info.param.name);
    });

TEST(ExportRun, OutputFolderThatCannotBeWrittenIsRefused)
{
    std::string dir = testTempDir("export_bad_output");
    std::string frames =
        writeFrameFolder(dir + "/frames", shiftedClip(2, 1, 0));
    std::ofstream(dir + "/plain_file") << "occupied";

    RunOutput onFile = runExport({frames, dir + "/plain_file", "--quiet"});
    EXPECT_EQ(onFile.code, kExitFailure);
    EXPECT_TRUE(contains(onFile.err, "is not a folder")) << onFile.err;

    RunOutput below = runExport({frames, dir + "/plain_file/sub", "--quiet"});
    EXPECT_EQ(below.code, kExitFailure);
    EXPECT_TRUE(contains(below.err, "cannot create output folder"))
        << below.err;

    // A missing folder is created, parents included.
    RunOutput nested = runExport({frames, dir + "/new/deeper", "--quiet"});
    EXPECT_EQ(nested.code, kExitOk) << nested.err;
    EXPECT_TRUE(fs::exists(dir + "/new/deeper/" + flowFileName(0)));
}

TEST(ExportRun, ExistingFilesAreKeptUnlessForced)
{
    std::string dir = testTempDir("export_existing");
    std::string frames =
        writeFrameFolder(dir + "/frames", shiftedClip(3, 1, 0));
    fs::create_directories(dir + "/out");
    // The last pair's image is in the way: nothing is computed or written.
    std::string blocker = dir + "/out/" + wheelFileName(1);
    std::ofstream(blocker) << "keep me";

    RunOutput refused = runExport({frames, dir + "/out", "--wheel", "--quiet"});
    EXPECT_EQ(refused.code, kExitFailure);
    EXPECT_TRUE(contains(refused.err, wheelFileName(1))) << refused.err;
    EXPECT_TRUE(contains(refused.err, "--force")) << refused.err;
    EXPECT_EQ(readFile(blocker), "keep me");
    EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(0)));

    // Without --wheel the file is not an output and does not matter.
    RunOutput other = runExport({frames, dir + "/out", "--quiet"});
    EXPECT_EQ(other.code, kExitOk) << other.err;

    // Now the .flo files exist as well; --force overwrites all of them.
    RunOutput again = runExport({frames, dir + "/out", "--wheel", "--quiet"});
    EXPECT_EQ(again.code, kExitFailure);
    RunOutput forced =
        runExport({frames, dir + "/out", "--wheel", "--quiet", "--force"});
    EXPECT_EQ(forced.code, kExitOk) << forced.err;
    EXPECT_FALSE(cv::imread(blocker).empty());
    EXPECT_EQ(sortedNames(dir + "/out").size(), 4u);
}

// A video's frame count is not known for sure, so existing files past the
// first pair are found while writing: the run stops there, keeps the file
// and reports it.
TEST(ExportRun, ExistingFileFoundWhileWritingStopsTheRun)
{
    std::string dir = testTempDir("export_existing_video");
    std::string clip = writeMjpgClip(dir + "/clip.avi", shiftedClip(4, 1, 0));
    fs::create_directories(dir + "/out");
    std::string blocker = dir + "/out/" + flowFileName(2);
    std::ofstream(blocker) << "keep me";

    RunOutput run = runExport({clip, dir + "/out", "--quiet", "-j", "2"});
    EXPECT_EQ(run.code, kExitFailure);
    EXPECT_TRUE(contains(run.err, flowFileName(2) + " exists")) << run.err;
    EXPECT_TRUE(contains(run.err, "2 pairs written")) << run.err;
    EXPECT_EQ(readFile(blocker), "keep me");
    EXPECT_TRUE(fs::exists(dir + "/out/" + flowFileName(1)));
}

// ---------------------------------------------------------------------------
// The program itself

namespace {

int runProgram(const std::string& arguments, const std::string& dir,
               std::string& out, std::string& err,
               const std::string& environment = "")
{
    // No display of any kind: the exporter must not need one.
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u "
                          "QT_QPA_PLATFORM " +
                          environment + " " OF_ULK_EXPORT_BINARY " " +
                          arguments + " >" + dir + "/stdout.txt 2>" + dir +
                          "/stderr.txt";
    int status = std::system(command.c_str());
    out = readFile(dir + "/stdout.txt");
    err = readFile(dir + "/stderr.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(ExportProgram, HelpListsEveryOptionWithAnExample)
{
    std::string dir = testTempDir("export_help");
    std::string out;
    std::string err;
    ASSERT_EQ(runProgram("--help", dir, out, err), 0);
    for (const char* option :
         {"--png", "--wheel", "--max-speed", "--legend", "--jobs",
          "--max-pairs", "--refined", "--refine-alpha", "--refine-fuse",
          "--force", "--quiet", "--help"}) {
        SCOPED_TRACE(option);
        EXPECT_TRUE(contains(out, option));
    }
    EXPECT_TRUE(contains(out, "e.g. of_ulk_export clip.avi out --png"));
    EXPECT_EQ(err, "");
}

TEST(ExportProgram, RunsHeadlessOnAVideoWithAProgressLine)
{
    std::string dir = testTempDir("export_program");
    std::string clip = writeMjpgClip(dir + "/clip.avi", shiftedClip(4, 2, 0));
    std::string out;
    std::string err;
    int code = runProgram(clip + " " + dir + "/out --png", dir, out, err);
    ASSERT_EQ(code, 0) << err;
    EXPECT_TRUE(contains(err, "pairs 3/3")) << err;
    EXPECT_TRUE(contains(out, "3 pairs in")) << out;
    for (long i = 0; i < 3; ++i) {
        EXPECT_TRUE(fs::exists(dir + "/out/" + flowFileName(i)));
        EXPECT_TRUE(fs::exists(dir + "/out/" + colourFileName(i)));
    }
}

// A file that no video reader understands. The readers probe other
// backends on the way, and one of them leaks in a system library, so the
// leak check of sanitizer builds is off for this run only.
TEST(ExportProgram, FileThatIsNoVideoIsRefused)
{
    std::string dir = testTempDir("export_not_a_video");
    std::ofstream(dir + "/text.avi") << "this is no video";
    std::string out;
    std::string err;
    int code = runProgram(dir + "/text.avi " + dir + "/out", dir, out, err,
                          "ASAN_OPTIONS=detect_leaks=0");
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(err, "of_ulk_export: cannot read video")) << err;
    EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(0)));
}

// A refined-mode setting whose range only the library knows fails at the
// first pair with the library's message, and no field is written.
TEST(ExportProgram, RefinedSettingOutOfTheLibrarysRangeFailsTheRun)
{
    std::string dir = testTempDir("export_refine_range");
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(90, 120, 150));
    ASSERT_TRUE(cv::imwrite(dir + "/a.png", frame));
    ASSERT_TRUE(cv::imwrite(dir + "/b.png", frame));
    std::string out;
    std::string err;
    int code = runProgram(dir + "/a.png " + dir + "/b.png " + dir +
                              "/out --refine-scale 2 --quiet",
                          dir, out, err, "ASAN_OPTIONS=detect_leaks=0");
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(err, "pyramidScale must lie in [0.5, 0.95]")) << err;
    EXPECT_FALSE(fs::exists(dir + "/out/" + flowFileName(0)));
}

TEST(ExportProgram, ExportsTheSharedTrafficClip)
{
    std::string data = sharedDataDir();
    std::string clip = data + "/videos/traffic_road_640x360.avi";
    if (data.empty() || !fs::exists(clip))
        GTEST_SKIP() << "shared test material is absent";
    std::string dir = testTempDir("export_traffic");
    std::string out;
    std::string err;
    int code = runProgram(clip + " " + dir + "/out --png --max-pairs 3", dir,
                          out, err);
    ASSERT_EQ(code, 0) << err;
    EXPECT_TRUE(contains(err, "pairs 3/3")) << err;
    cv::Mat flow = cv::readOpticalFlow(dir + "/out/" + flowFileName(2));
    EXPECT_EQ(flow.size(), cv::Size(640, 360));
    EXPECT_EQ(cv::imread(dir + "/out/" + colourFileName(2)).size(),
              cv::Size(640, 360));
}
