// Tests of the exporter's runs that go wrong: killed at random moments,
// writes that fail, runs that leave an earlier run's files behind, videos
// shorter than their header, undecodable videos and one-frame inputs.
#include "export_clips.h"
#include "export_runs.h"
#include "support.h"

#include "batch_export.h"
#include "export_options.h"
#include "frame_source.h"
#include "interrupt_watch.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using namespace ulk::exporter;

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> folderContents(const std::string& dir)
{
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::directory_iterator(dir))
        contents[entry.path().filename().string()] =
            readFileBytes(entry.path().string());
    return contents;
}

} // namespace

// ---------------------------------------------------------------------------
// Interruption

// Frames of a drawn clip that sends the process a stop signal when frame
// `signalAt` is asked for.
class SignallingSource : public FrameSource {
  public:
    SignallingSource(std::vector<cv::Mat> frames, size_t signalAt, int signal)
        : frames_(std::move(frames)), signalAt_(signalAt), signal_(signal)
    {
    }

    Read next(cv::Mat& grey, std::string&) override
    {
        if (next_ == signalAt_)
            raise(signal_);
        if (next_ >= frames_.size())
            return Read::End;
        grey = toGrey(frames_[next_++]);
        return Read::Frame;
    }
    long frameCount() const override { return long(frames_.size()); }
    bool countIsExact() const override { return true; }
    size_t framesGiven() const { return next_; }

  private:
    std::vector<cv::Mat> frames_;
    size_t signalAt_;
    int signal_;
    size_t next_ = 0;
};

// A stop signal in the middle of a run ends it early and in order: the
// frames after it are not read, the pairs written are whole and form a
// prefix, and the result names the signal.
TEST(Interruption, StopSignalEndsTheRunAfterThePairInHand)
{
    constexpr size_t kFrames = 30;
    constexpr size_t kSignalAt = 6;
    std::string dir = testRunDir();
    ExportOptions options;
    options.outputDir = dir;
    options.png = true;
    options.quiet = true;
    options.jobs = 2;
    SignallingSource source(shiftedClip(kFrames, 1, 1), kSignalAt, SIGTERM);
    std::ostringstream progress;
    ExportResult result;
    {
        InterruptWatch watch;
        result = runBatchExport(options, source, progress, &watch);
    }
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(source.framesGiven(), kSignalAt + 1);
    EXPECT_LE(result.pairs, long(kSignalAt));
    EXPECT_EQ(expectCompletePrefix(dir, cv::Size(kClipWidth, kClipHeight),
                                   {".flo", ".png"}),
              result.pairs);
}

class InterruptedRun : public testing::TestWithParam<SignalCase> {};

// Killed at a random moment after its first pair, the exporter finishes the
// pair in hand, says so and ends with 128 + the signal number; every file
// under a final name is whole and the files form a prefix of pairs.
TEST_P(InterruptedRun, LeavesOnlyCompleteFilesAndSaysSo)
{
    // Runs per signal: enough random moments to hit writes in progress.
    constexpr int kRuns = 6;
    // Latest kill after the first pair, within the run's length.
    constexpr int kMaxDelayMs = 400;
    const SignalCase& c = GetParam();
    std::string dir = testRunDir();
    std::string clip = dir + "/clip.avi";
    cv::Size size(640, 480);
    std::string make =
        std::string(OF_ULK_CLIP_MAKER) + " " + clip + " 640 480 40 >/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);

    std::mt19937 rng(20261207u + static_cast<unsigned>(c.signal));
    std::uniform_int_distribution<int> delay(0, kMaxDelayMs);
    int interrupted = 0;
    for (int run = 0; run < kRuns; ++run) {
        int delayMs = delay(rng);
        SCOPED_TRACE("run " + std::to_string(run) + ", " + c.name + " " +
                     std::to_string(delayMs) + " ms after the first pair");
        std::string out = dir + "/out" + std::to_string(run);
        // The progress line appears once the first pair is written.
        const int status = stopExporterAfterFirstOutput(
            {clip, out, "--png", "-j", "2"}, dir, delayMs, c.signal);
        ASSERT_NE(status, -1);
        std::string err = readFileBytes(dir + "/stderr.txt");
        long n = expectCompletePrefix(out, size, {".flo", ".png"});
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            EXPECT_EQ(n, 39); // the run was over before the signal
            continue;
        }
        ++interrupted;
        EXPECT_TRUE(WIFEXITED(status)) << describeStatus(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
        EXPECT_TRUE(contains(err, std::string("interrupted by ") + c.name))
            << err;
        EXPECT_TRUE(contains(err, std::to_string(n) + " pairs written")) << err;
    }
    EXPECT_GT(interrupted, kRuns / 2) << "too few runs were interrupted";
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedRun,
                         testing::Values(SignalCase{SIGINT, "SIGINT"},
                                         SignalCase{SIGTERM, "SIGTERM"}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Failing writes and an earlier run's files

// A forced run whose .flo files cannot be written whole (the file size
// limit is below their size) fails and keeps the earlier run's files as
// they were, without temporary files.
TEST(FailingWrite, ForcedRunOverTheFileSizeLimitKeepsEveryOldFile)
{
    // Below the 98,316 bytes of a .flo file of the drawn clips.
    constexpr long kFileSizeLimit = 50000;
    std::string dir = testRunDir();
    std::string older = writeFrameFolder(dir + "/older", shiftedClip(3, 1, 0));
    std::string newer = writeFrameFolder(dir + "/newer", shiftedClip(3, 0, 2));
    RunOutput first = runExport({older, dir + "/out", "--png", "--quiet"});
    ASSERT_EQ(first.code, kExitOk) << first.err;
    std::map<std::string, std::string> before = folderContents(dir + "/out");
    ASSERT_EQ(before.size(), 4u);

    pid_t pid = startExporter({newer, dir + "/out", "--png", "--force"}, dir,
                              kFileSizeLimit);
    int status = waitForExit(pid);
    std::string err = readFileBytes(dir + "/stderr.txt");
    ASSERT_TRUE(WIFEXITED(status)) << describeStatus(status);
    EXPECT_EQ(WEXITSTATUS(status), kExitFailure);
    EXPECT_TRUE(
        contains(err, "cannot write " + dir + "/out/" + flowFileName(0)))
        << err;
    EXPECT_TRUE(folderContents(dir + "/out") == before)
        << "the earlier run's files changed";
}

// A forced run that fails midway names the files of an earlier run that
// are left after its last pair, so that nobody takes them for its own.
TEST(FailingWrite, ForcedRunThatFailsCountsTheEarlierRunsFilesLeft)
{
    std::string dir = testRunDir();
    std::string older = writeFrameFolder(dir + "/older", shiftedClip(6, 1, 0));
    RunOutput first = runExport({older, dir + "/out", "--png", "--quiet"});
    ASSERT_EQ(first.code, kExitOk) << first.err;

    // Frame 3 has another size: pairs 0 and 1 are written, then the run
    // fails; pairs 2 to 4 of the earlier run stay, a .flo and a .png each.
    std::vector<cv::Mat> clip = shiftedClip(6, 0, 1);
    clip[3] = cv::Mat(40, 50, CV_8UC3, cv::Scalar(9, 9, 9));
    std::string newer = writeFrameFolder(dir + "/newer", clip);
    RunOutput forced =
        runExport({newer, dir + "/out", "--png", "--quiet", "--force"});
    EXPECT_EQ(forced.code, kExitFailure);
    EXPECT_TRUE(contains(forced.err, "2 pairs written")) << forced.err;
    EXPECT_TRUE(contains(forced.err, "6 files of an earlier run remain"))
        << forced.err;
    EXPECT_TRUE(contains(forced.err, flowFileName(2))) << forced.err;

    // Into a fresh folder the same failure has nothing else to report.
    RunOutput fresh = runExport({newer, dir + "/fresh", "--png", "--quiet"});
    EXPECT_EQ(fresh.code, kExitFailure);
    EXPECT_FALSE(contains(fresh.err, "earlier run")) << fresh.err;
}

// ---------------------------------------------------------------------------
// Inputs that end early or cannot be read

// A video cut short still gives its pairs and exit 0, with a warning that
// names the frame count of its header and the count that was read.
TEST(ShortVideo, WarnsWithTheDeclaredAndTheReadFrameCounts)
{
    constexpr int kFrames = 12;
    std::string dir = testRunDir();
    std::string intact =
        writeMjpgClip(dir + "/intact.avi", shiftedClip(kFrames, 1, 0));
    std::string bytes = readFileBytes(intact);
    std::string cut = dir + "/cut.avi";
    std::ofstream(cut, std::ios::binary)
        << bytes.substr(0, bytes.size() * 6 / 10);

    cv::VideoCapture capture(cut);
    ASSERT_EQ(capture.get(cv::CAP_PROP_FRAME_COUNT), kFrames);
    int readable = 0;
    for (cv::Mat frame; capture.read(frame) && !frame.empty();)
        ++readable;
    ASSERT_GE(readable, 2);
    ASSERT_LT(readable, kFrames);

    RunOutput run = runExport({cut, dir + "/out", "--quiet"});
    EXPECT_EQ(run.code, kExitOk) << run.err;
    EXPECT_TRUE(contains(run.err, "warning: the video header declares " +
                                      std::to_string(kFrames) +
                                      " frames but only " +
                                      std::to_string(readable) + " were read"))
        << run.err;

    RunOutput whole = runExport({intact, dir + "/whole", "--quiet"});
    EXPECT_EQ(whole.code, kExitOk) << whole.err;
    EXPECT_EQ(whole.err, "");
}

struct Undecodable {
    const char* name;
    std::string bytes;
};

void PrintTo(const Undecodable& u, std::ostream* os)
{
    *os << u.name;
}

std::string noiseBytes(size_t count)
{
    cv::RNG rng(99);
    std::string bytes(count, '\0');
    for (char& b : bytes)
        b = static_cast<char>(rng.uniform(0, 256));
    return bytes;
}

class UndecodableVideo : public testing::TestWithParam<Undecodable> {};

// The video libraries' own log lines stay off the terminal: standard error
// holds the one message of the exporter.
TEST_P(UndecodableVideo, GivesOneMessageAndNothingFromTheLibraries)
{
    const Undecodable& u = GetParam();
    std::string dir = testRunDir();
    std::string path = dir + "/" + u.name + ".avi";
    std::ofstream(path, std::ios::binary) << u.bytes;
    // One of the readers probed on the way leaks in a system library.
    ProcessResult run =
        runProgram(dir, OF_ULK_EXPORT_BINARY, {path, dir + "/out"},
                   "ASAN_OPTIONS=detect_leaks=0");
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_EQ(run.err, "of_ulk_export: cannot read video " + path + "\n");
    EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Files, UndecodableVideo,
                         testing::Values(Undecodable{"empty", ""},
                                         Undecodable{"noise",
                                                     noiseBytes(200000)},
                                         Undecodable{"text", "no video"}),
                         [](const testing::TestParamInfo<Undecodable>& info) {
                             return std::string(info.param.name);
                         });

// A run that writes nothing removes the output folders it created, and
// only those.
TEST(CreatedFolder, IsRemovedWhenTheRunWroteNothing)
{
    std::string dir = testRunDir();
    std::string oneFrame =
        writeMjpgClip(dir + "/one.avi", shiftedClip(1, 0, 0));
    std::string frames =
        writeFrameFolder(dir + "/frames", shiftedClip(1, 0, 0));
    std::ofstream(frames + "/frame001.png") << "no png inside";
    struct Case {
        const char* name;
        std::vector<std::string> inputs;
    };
    for (const Case& c :
         {Case{"one-frame video", {oneFrame}},
          Case{"broken second image",
               {frames + "/frame000.png", frames + "/frame001.png"}}}) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.inputs;
        args.insert(args.end(), {dir + "/new/deeper", "--quiet"});
        RunOutput run = runExport(args);
        EXPECT_EQ(run.code, kExitFailure);
        EXPECT_FALSE(fs::exists(dir + "/new")) << run.err;

        // A folder that was there before the run stays.
        fs::create_directories(dir + "/kept");
        args = c.inputs;
        args.insert(args.end(), {dir + "/kept", "--quiet"});
        run = runExport(args);
        EXPECT_EQ(run.code, kExitFailure);
        EXPECT_TRUE(fs::is_directory(dir + "/kept"));
    }
}
