#include "driver.h"
#include "film_position.h"
#include "output_video.h"
#include "support.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/core/core_c.h>
#include <opencv2/videoio.hpp>
#include <sys/mount.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

using namespace ulk::viewer;
using namespace ulk::tools;

namespace fs = std::filesystem;

namespace {

constexpr int kClipWidth = 160;
constexpr int kClipHeight = 120;
constexpr int kClipFrames = 8;

ProcessResult runOfUlk(const std::string& dir,
                       const std::vector<std::string>& args)
{
    return runProgram(dir, OF_ULK_BINARY, args);
}

const std::string kNoDisplay = "No display: the Result window is not shown.\n";

// A fresh folder for the running test holding clip.avi, a small synthetic
// clip.
std::string clipDir(int frames = kClipFrames)
{
    const std::string dir = testRunDir();
    const ProcessResult r =
        runProgram(dir, OF_ULK_CLIP_MAKER,
                   {"clip.avi", std::to_string(kClipWidth),
                    std::to_string(kClipHeight), std::to_string(frames)});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir;
}

std::string positionLines(int frames)
{
    std::string lines;
    for (int i = 0; i < frames; ++i)
        lines += filmPositionLine(i * 40.0); // 25 frames per second
    return lines;
}

} // namespace

// ---- Command line -------------------------------------------------------

struct ParseCase {
    std::vector<std::string> args;
    DriverOptions::Action action;
    int device;
    std::string baseName;
    std::string flags; // 'r' record, 's' stuff info, 'a' add fields, 'h' /hq
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    for (const std::string& a : c.args)
        *os << a.substr(0, 16) << ' ';
}

class DriverCommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(DriverCommandLine, SelectsSourceAndOptions)
{
    const ParseCase& c = GetParam();
    std::vector<const char*> argv{"of_ulk"};
    for (const std::string& a : c.args)
        argv.push_back(a.c_str());
    SCOPED_TRACE("first argument " + c.args[0].substr(0, 20));
    const DriverOptions o =
        parseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(o.action, c.action);
    if (o.action == DriverOptions::Action::Capture) {
        EXPECT_EQ(o.device, c.device);
    }
    EXPECT_EQ(o.baseName, c.baseName);
    EXPECT_EQ(o.outputName, c.baseName + "_out.avi");
    EXPECT_EQ(o.record, c.flags.find('r') != std::string::npos);
    EXPECT_EQ(o.stuffInfo, c.flags.find('s') != std::string::npos);
    EXPECT_EQ(o.addFields, c.flags.find('a') != std::string::npos);
    EXPECT_EQ(o.refined, c.flags.find('h') != std::string::npos);
}

using A = DriverOptions::Action;
INSTANTIATE_TEST_SUITE_P(
    Arguments, DriverCommandLine,
    ::testing::Values(
        ParseCase{{"Dir/CLIP.AVI", "/r"}, A::File, 0, "Dir/CLIP", "r"},
        ParseCase{{"Clip.Avi.avi"}, A::File, 0, "Clip", ""},
        ParseCase{{"a.avi.avi"}, A::File, 0, "a", ""},
        ParseCase{{"clip.avi", "/?"}, A::File, 0, "clip", ""},
        ParseCase{{"3", "/r"}, A::Capture, 3, "", "r"},
        ParseCase{{"12"}, A::Capture, 1, "", ""},
        ParseCase{{"7clip.avi"}, A::Capture, 7, "", ""},
        ParseCase{{"clip.avi", "/R", "/Si", "/AV"}, A::File, 0, "clip", ""},
        ParseCase{{"clip.avi", "a/", "rb"}, A::File, 0, "clip", "r"},
        ParseCase{{"clip.avi", "/si", "/av"}, A::File, 0, "clip", "sa"},
        ParseCase{{"clip.avi", "/hq", "/r"}, A::File, 0, "clip", "hr"},
        ParseCase{{"clip.avi", "/HQ"}, A::File, 0, "clip", ""},
        ParseCase{
            {std::string(600, 'x') + ".avi", std::string(600, 'y'), "/av"},
            A::File,
            0,
            std::string(600, 'x'),
            "a"}));

TEST(DriverFilmPosition, SplitsMillisecondsIntoClockFields)
{
    EXPECT_EQ(filmPositionLine(3723456.0),
              "==> film current position: 01:02:03.456\n");
    EXPECT_EQ(filmPositionLine(0.0),
              "==> film current position: 00:00:00.000\n");
    EXPECT_EQ(filmPositionLine(40.99), // truncated, not rounded
              "==> film current position: 00:00:00.040\n");
    EXPECT_EQ(filmPositionLine(360000000.0),
              "==> film current position: 100:00:00.000\n");
}

TEST(DriverStorage, BlockHoldsTheLabelMapOfTheFrame)
{
    EXPECT_EQ(storageBlockSize(480, 640, false), 0);
    EXPECT_EQ(storageBlockSize(120, 160, true), 0x97000);
    // The engine takes the label map from the storage in one piece.
    for (const cv::Size size : {cv::Size(640, 480), cv::Size(1920, 1080)}) {
        SCOPED_TRACE(::testing::Message() << size);
        CvMemStorage* storage =
            cvCreateMemStorage(storageBlockSize(size.height, size.width, true));
        const int bytes = (size.area() * 2 + 7) & ~7;
        EXPECT_NO_THROW(cvMemStorageAlloc(storage, bytes));
        cvReleaseMemStorage(&storage);
    }
}

// ---- The program as a process ------------------------------------------

// Runs that end before the frame loop: what goes to which stream and the
// exit status (-1 shows as 255).
struct EarlyEndCase {
    std::vector<std::string> args;
    std::string out, err;
    int status;
};

void PrintTo(const EarlyEndCase& c, std::ostream* os)
{
    for (const std::string& a : c.args)
        *os << a << ' ';
}

class DriverEarlyEnd : public ::testing::TestWithParam<EarlyEndCase> {};

TEST_P(DriverEarlyEnd, PrintsItsMessageAndExits)
{
    const EarlyEndCase& c = GetParam();
    SCOPED_TRACE(c.args.empty() ? std::string("no arguments") : c.args[0]);
    const std::string dir = testRunDir();
    const ProcessResult r = runOfUlk(dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err) << "only the program's own lines";
    EXPECT_FALSE(fs::exists(dir + "/_out.avi"));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, DriverEarlyEnd,
    ::testing::Values(
        EarlyEndCase{{}, kHelpText, "", 0},
        EarlyEndCase{{"/?"}, kHelpText, "", 0},
        EarlyEndCase{{"-h"}, kHelpText, "", 0},
        EarlyEndCase{{"--help"}, kHelpText, "", 0},
        EarlyEndCase{
            {"-h", "/r"}, "AVI files are processing only!\n\n", "", 255},
        EarlyEndCase{
            {"clip.mpg"}, "AVI files are processing only!\n\n", "", 255},
        EarlyEndCase{{"/r"}, "AVI files are processing only!\n\n", "", 255},
        EarlyEndCase{{"Sub/MOVIE.AVI", "/r"},
                     "Processing avi file...\nCan't find file sub/movie.avi\n",
                     "",
                     255},
        EarlyEndCase{{"9", "/r"},
                     "Processing capture...\n",
                     "Could not initialize capturing...\n",
                     255}));

// Complete runs over a clip: every frame is processed and its position
// printed; clip_out.avi, with one frame per input frame, exists exactly when
// the option text contains "/r".
struct FileRunCase {
    std::vector<std::string> args;
    bool records;
};

void PrintTo(const FileRunCase& c, std::ostream* os)
{
    for (const std::string& a : c.args)
        *os << a << ' ';
}

class DriverFileRun : public ::testing::TestWithParam<FileRunCase> {};

TEST_P(DriverFileRun, ProcessesEveryFrameAndRecordsOnRequest)
{
    const FileRunCase& c = GetParam();
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const std::string dir = clipDir();
    const ProcessResult r = runOfUlk(dir, c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Processing avi file...\n" + positionLines(kClipFrames));
    EXPECT_EQ(r.err, kNoDisplay);
    EXPECT_FALSE(fs::exists(dir + "/CLIP_out.avi"));
    if (!c.records) {
        EXPECT_FALSE(fs::exists(dir + "/clip_out.avi"));
        return;
    }
    const std::vector<cv::Mat> frames = readVideoFrames(dir + "/clip_out.avi");
    ASSERT_EQ(frames.size(), static_cast<size_t>(kClipFrames));
    EXPECT_EQ(frames[0].size(), cv::Size(kClipWidth, kClipHeight));
}

INSTANTIATE_TEST_SUITE_P(
    Options, DriverFileRun,
    ::testing::Values(FileRunCase{{"clip.avi", "/?"}, false},
                      FileRunCase{{"CLIP.AVI", "/r"}, true},
                      FileRunCase{{"clip.avi", "/R"}, false},
                      FileRunCase{{"clip.avi", "a/", "rb"}, true}));

TEST(DriverProcess, StuffInfoPrintsCountsAndIgnoresAddition)
{
    const std::string dir = clipDir();
    const ProcessResult r = runOfUlk(dir, {"clip.avi", "/si", "/r"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Nothing but the two count lines and the position line per frame.
    const std::string frameLines = "Segment quantity\\.{7} \\d+\n"
                                   "Tracking point number\\.\\. \\d+\n"
                                   "==> film current position: [^\n]*\n";
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("Processing avi file\\.\\.\\.\n(" + frameLines +
                          "){" + std::to_string(kClipFrames) + "}")))
        << r.out;
    const std::vector<cv::Mat> overlay = readVideoFrames(dir + "/clip_out.avi");

    // The same run with /av added records the very same images.
    fs::remove(dir + "/clip_out.avi");
    EXPECT_EQ(runOfUlk(dir, {"clip.avi", "/si", "/av", "/r"}).out, r.out);
    const std::vector<cv::Mat> withAdd = readVideoFrames(dir + "/clip_out.avi");
    ASSERT_EQ(overlay.size(), static_cast<size_t>(kClipFrames));
    ASSERT_EQ(withAdd.size(), overlay.size());
    for (size_t i = 0; i < overlay.size(); ++i)
        EXPECT_EQ(cv::norm(overlay[i], withAdd[i], cv::NORM_INF), 0.0)
            << "frame " << i;
}

// A display that is named but not there (a closed ssh -X connection, say)
// is treated as no display at all: the run completes offscreen.
class DriverDeadDisplay : public ::testing::TestWithParam<std::string> {};

TEST_P(DriverDeadDisplay, RunsAsWithoutADisplay)
{
    const std::string dir = clipDir();
    const ProcessResult r =
        runProgram(dir, OF_ULK_BINARY, {"clip.avi", "/r"},
                   GetParam() + " XDG_RUNTIME_DIR=" + shellQuoted(dir));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Processing avi file...\n" + positionLines(kClipFrames));
    EXPECT_EQ(r.err, kNoDisplay);
    EXPECT_EQ(readVideoFrames(dir + "/clip_out.avi").size(),
              static_cast<size_t>(kClipFrames));
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DriverDeadDisplay,
    ::testing::Values("DISPLAY=:4097", "DISPLAY=localhost:4097.0",
                      "DISPLAY=nonsense", "WAYLAND_DISPLAY=wayland-4097",
                      "DISPLAY=:4097 WAYLAND_DISPLAY=wayland-4097"),
    [](const ::testing::TestParamInfo<std::string>& info) {
        return paramName(info.param);
    });

// A stop signal ends the run as a key does: the frame in hand is finished,
// the recording holds every frame shown and is closed with its header and
// index, and the status is 128 + the signal number.
class DriverStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(DriverStopSignal, RecordsEveryShownFrameAndExitsWithTheSignal)
{
    constexpr int kLongClip = 300;
    const std::string dir = clipDir(kLongClip);
    const ProcessResult r =
        runProgramSignalled(dir, OF_ULK_BINARY, {"clip.avi", "/r"}, "",
                            GetParam(), filmPositionLine(0.0));
    EXPECT_EQ(r.status, 128 + GetParam());
    EXPECT_EQ(r.err, kNoDisplay);
    const int shown = countOf(r.out, "==> film current position");
    EXPECT_GT(shown, 0);
    EXPECT_LT(shown, kLongClip) << "the run ended before the signal";
    EXPECT_EQ(int(readVideoFrames(dir + "/clip_out.avi").size()), shown);
    EXPECT_EQ(aviDeclaredFrames(dir + "/clip_out.avi"), shown);
}

INSTANTIATE_TEST_SUITE_P(Signals, DriverStopSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// A recording that runs out of room, at a file-size limit or on a full
// file system, ends the run with a message naming the file and the reason
// and -1; the frames recorded before it decode and the header declares
// them. Every frame shown but the last is recorded.
class DriverFullOutput : public ::testing::TestWithParam<bool> {};

TEST_P(DriverFullOutput, StopsWithAWholeRecordingAndSaysWhy)
{
    const bool fullDisk = GetParam();
    std::string dir = clipDir(300);
    // Four fifths of what the whole clip's recording takes.
    const std::string room = "400000";
    if (fullDisk) {
        fs::create_directory(dir + "/small");
        if (mount("tmpfs", (dir + "/small").c_str(), "tmpfs", 0,
                  ("size=" + room).c_str()) != 0)
            GTEST_SKIP() << "no small file system to fill (mounting one "
                            "needs root): "
                         << std::strerror(errno);
        fs::create_symlink(dir + "/clip.avi", dir + "/small/clip.avi");
        dir += "/small";
    }
    const ProcessResult r =
        fullDisk
            ? runOfUlk(dir, {"clip.avi", "/r"})
            : runProgram(dir, "prlimit",
                         {"--fsize=" + room, OF_ULK_BINARY, "clip.avi", "/r"});
    const std::vector<cv::Mat> recorded =
        readVideoFrames(dir + "/clip_out.avi");
    const long header = aviDeclaredFrames(dir + "/clip_out.avi");
    if (fullDisk)
        umount2(dir.c_str(), MNT_DETACH);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(
        r.err,
        kNoDisplay + "Could not write the output video clip_out.avi: " +
            (fullDisk ? "No space left on device\n" : "File too large\n"));
    const int shown = countOf(r.out, "==> film current position");
    EXPECT_GT(shown, 1);
    EXPECT_EQ(int(recorded.size()), shown - 1);
    EXPECT_EQ(header, shown - 1);
}

INSTANTIATE_TEST_SUITE_P(Limits, DriverFullOutput, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "FullFileSystem"
                                               : "FileSizeLimit";
                         });

// A video whose frames run out before the count its header declares is
// played to its end with a warning that gives both counts.
TEST(DriverProcess, WarnsOfAVideoCutShort)
{
    const std::string dir = clipDir(20);
    const std::string whole = readFileBytes(dir + "/clip.avi");
    std::ofstream(dir + "/cut.avi", std::ios::binary)
        << whole.substr(0, whole.size() / 2);
    const ProcessResult r = runOfUlk(dir, {"cut.avi"});
    const int shown = countOf(r.out, "==> film current position");
    EXPECT_EQ(r.status, 0);
    EXPECT_GT(shown, 0);
    EXPECT_EQ(r.err, kNoDisplay +
                         "Warning: the video header declares 20 "
                         "frames but only " +
                         std::to_string(shown) +
                         " were read; the file may be cut short or damaged\n");
}

// The name is opened as given when it exists: capitals in folders and
// names are kept, and the output goes beside the file that was read.
TEST(DriverProcess, OpensTheNameAsGivenBeforeItsLowerCase)
{
    const std::string dir = clipDir();
    fs::create_directory(dir + "/Clips");
    fs::copy_file(dir + "/clip.avi", dir + "/Clips/Street.avi");
    ProcessResult r = runOfUlk(dir, {"Clips/Street.avi", "/r"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readVideoFrames(dir + "/Clips/Street_out.avi").size(),
              static_cast<size_t>(kClipFrames));

    // With Clip.avi and clip.avi side by side, each name opens its own
    // file; a third spelling falls back to the lower-cased one.
    const int shortFrames = 3;
    const ProcessResult made =
        runProgram(dir, OF_ULK_CLIP_MAKER,
                   {"Clip.avi", std::to_string(kClipWidth),
                    std::to_string(kClipHeight), std::to_string(shortFrames)});
    ASSERT_EQ(made.status, 0) << made.err;
    r = runOfUlk(dir, {"Clip.avi", "/r"});
    EXPECT_EQ(r.out, "Processing avi file...\n" + positionLines(shortFrames));
    EXPECT_EQ(readVideoFrames(dir + "/Clip_out.avi").size(),
              static_cast<size_t>(shortFrames));
    EXPECT_FALSE(fs::exists(dir + "/clip_out.avi"));
    r = runOfUlk(dir, {"CLIP.avi", "/r"});
    EXPECT_EQ(r.out, "Processing avi file...\n" + positionLines(kClipFrames));
    EXPECT_EQ(readVideoFrames(dir + "/clip_out.avi").size(),
              static_cast<size_t>(kClipFrames));
}

TEST(DriverProcess, UnwritableOutputIsReportedBeforeTheLoop)
{
    const std::string dir = clipDir();
    fs::create_directory(dir + "/clip_out.avi"); // no file can go there
    const ProcessResult r = runOfUlk(dir, {"clip.avi", "/r"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Processing avi file...\n");
    EXPECT_EQ(r.err, "Could not create the output video clip_out.avi\n");
}

// ---- Sample clips ---------------------------------------------------------

TEST(SyntheticScene, IsFixedBySeed)
{
    const SyntheticScene a(160, 120, 5), b(160, 120, 5), c(160, 120, 6);
    EXPECT_EQ(cv::norm(a.frame(3), b.frame(3), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(a.frame(3), c.frame(3), cv::NORM_INF), 0.0);
}

TEST(SyntheticScene, ObjectsMoveByTheirWholePixelVelocity)
{
    const SyntheticScene scene(640, 480, 3);
    const auto& objects = scene.objects();
    ASSERT_GE(objects.size(), 3u);
    const cv::Mat f0 = scene.frame(0);
    const cv::Mat f1 = scene.frame(1);
    for (size_t i = 0; i < objects.size(); ++i) {
        const SceneObject& o = objects[i];
        SCOPED_TRACE(::testing::Message() << "object " << i << " v (" << o.vx
                                          << ", " << o.vy << ")");
        const double speed = std::hypot(o.vx, o.vy);
        EXPECT_GE(speed, 1.0);
        EXPECT_LE(speed, 5.0);
        EXPECT_GE(o.box.width, 640 / 5);
        // The objects start in separate quadrants, so between frames 0 and
        // 1 each one's pixels reappear shifted by exactly its velocity.
        const cv::Rect now = o.box + cv::Point(o.vx, o.vy);
        EXPECT_EQ(cv::norm(f0(o.box), f1(now), cv::NORM_INF), 0.0);
        EXPECT_EQ(scene.objectPosition(i, 1), now.tl());
    }
}

// ---- Runs that the leak checks cover --------------------------------------

// The three runs of CI's valgrind stage. In the sanitizer build the same
// runs end with LeakSanitizer's report and a non-zero status on any leak,
// so no leak check is lost on machines where valgrind cannot run.
class LeakCheckedRuns
    : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(LeakCheckedRuns, EndCleanly)
{
    const std::string dir = clipDir();
    std::vector<std::string> args = {"clip.avi"};
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    const ProcessResult r = runOfUlk(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("LeakSanitizer"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("==> film current position"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    ValgrindStageRuns, LeakCheckedRuns,
    ::testing::Values(std::vector<std::string>{},
                      std::vector<std::string>{"/si"},
                      std::vector<std::string>{"/av", "/r"}),
    [](const ::testing::TestParamInfo<std::vector<std::string>>& info) {
        std::string name;
        for (const std::string& option : info.param)
            name += option.substr(1);
        return name.empty() ? std::string("plain") : name;
    });
