// Tests of collection runs: list files and folder searches, the mirrored
// output tree, done markers, skipping and redoing, failed.txt, and runs
// that are stopped and then finished by a second run.
#include "export_clips.h"
#include "export_runs.h"
#include "support.h"

#include "batch_export.h"
#include "collection_list.h"
#include "collection_run.h"
#include "export_options.h"
#include "progress.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

using namespace ulk::exporter;

namespace fs = std::filesystem;

namespace {

// Every file under root by its path relative to root, with its bytes.
std::map<std::string, std::string> treeContents(const std::string& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string relative =
            entry.path().lexically_relative(root).generic_string();
        tree[relative] = entry.is_directory()
                             ? std::string("(folder)")
                             : readFileBytes(entry.path().string());
    }
    return tree;
}

std::vector<std::string> outputsOf(const std::vector<CollectionItem>& items)
{
    std::vector<std::string> outputs;
    for (const CollectionItem& item : items)
        outputs.push_back(item.output);
    return outputs;
}

void touch(const fs::path& path)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

// A collection of drawn clips: two classes of MJPG videos and a frame
// folder, with a list file naming all three.
struct Collection {
    std::string root;
    std::string list;
};

Collection makeCollection(const std::string& dir)
{
    Collection c{dir + "/videos", dir + "/videos/list.txt"};
    writeMjpgClip(c.root + "/walk/a.avi", shiftedClip(4, 1, 0));
    writeMjpgClip(c.root + "/run/b.avi", shiftedClip(3, 0, 2));
    writeFrameFolder(c.root + "/run/c_frames", shiftedClip(3, 2, 1));
    std::ofstream(c.list) << "# the whole collection\n"
                          << "walk/a.avi\n\n"
                          << "  run/b.avi  \n"
                          << c.root + "/run/c_frames\n";
    return c;
}

} // namespace

// ---------------------------------------------------------------------------
// Lists and folder searches

struct MirrorCase {
    const char* relative;
    bool isVideo;
    const char* output;
};

void PrintTo(const MirrorCase& c, std::ostream* os)
{
    *os << c.relative << " -> " << c.output;
}

class MirroredOutput : public testing::TestWithParam<MirrorCase> {};

TEST_P(MirroredOutput, KeepsThePlaceInTheCollection)
{
    const MirrorCase& c = GetParam();
    EXPECT_EQ(mirroredOutput(c.relative, c.isVideo), c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MirroredOutput,
    testing::Values(MirrorCase{"class/video.avi", true, "class/video"},
                    MirrorCase{"a/b/c.clip.mp4", true, "a/b/c.clip"},
                    MirrorCase{"./x/../y/v.avi", true, "y/v"},
                    MirrorCase{"frames/clip1", false, "frames/clip1"},
                    MirrorCase{"frames/clip1/", false, "frames/clip1"},
                    MirrorCase{"../elsewhere/v.avi", true, "v"},
                    MirrorCase{"/abs/path/v.avi", true, "v"}),
    [](const testing::TestParamInfo<MirrorCase>& info) {
        return "case_" + std::to_string(info.index);
    });

TEST(CollectionList, ListSkipsCommentsAndResolvesAgainstItsFolder)
{
    std::string dir = testRunDir();
    Collection c = makeCollection(dir);
    std::vector<CollectionItem> items;
    std::string error;
    ASSERT_TRUE(readCollectionList(c.list, items, error)) << error;
    EXPECT_EQ(outputsOf(items),
              (std::vector<std::string>{"walk/a", "run/b", "run/c_frames"}));
    EXPECT_EQ(items[1].input, c.root + "/run/b.avi");
    EXPECT_EQ(items[2].input, c.root + "/run/c_frames");

    std::ofstream(dir + "/empty.txt") << "# nothing\n\n";
    EXPECT_FALSE(readCollectionList(dir + "/empty.txt", items, error));
    EXPECT_TRUE(contains(error, "names no video")) << error;
    EXPECT_FALSE(readCollectionList(dir + "/missing.txt", items, error));
}

TEST(CollectionList, FolderIsSearchedForVideosInNameOrder)
{
    std::string dir = testRunDir();
    for (const char* name :
         {"class/v10.avi", "class/v2.avi", "b/deeper/x.MP4", ".hidden/h.avi",
          "class/.h.avi", "class/notes.txt", "top.mkv"})
        touch(fs::path(dir) / "tree" / name);
    std::vector<CollectionItem> items;
    std::string error;
    ASSERT_TRUE(findCollectionVideos(dir + "/tree", items, error)) << error;
    EXPECT_EQ(outputsOf(items),
              (std::vector<std::string>{"b/deeper/x", "class/v2", "class/v10",
                                        "top"}));

    // What the command line takes for a collection.
    writeFrameFolder(dir + "/frames", shiftedClip(2, 0, 0));
    EXPECT_TRUE(isCollectionInput(dir + "/tree"));
    EXPECT_FALSE(isCollectionInput(dir + "/frames"));
    EXPECT_FALSE(isCollectionInput(dir + "/tree/top.mkv"));
    touch(dir + "/list.txt");
    EXPECT_TRUE(isCollectionInput(dir + "/list.txt"));

    fs::create_directories(dir + "/nothing");
    EXPECT_FALSE(findCollectionVideos(dir + "/nothing", items, error));
}

TEST(CollectionProgress, LineCountsVideosAndPairsAndSummaryEveryOutcome)
{
    // 4 of 10 finished, 2 of them computed in 20 s: 6 more take 60 s.
    EXPECT_EQ(formatCollectionProgress(4, 10, 500, 2, 20.0),
              "videos 4/10, 500 pairs, 25.00 pairs/s, 1:00 left");
    // Nothing computed yet (only skipped items): no time left is guessed.
    EXPECT_EQ(formatCollectionProgress(3, 10, 0, 0, 1.0),
              "videos 3/10, 0 pairs, 0.00 pairs/s");
    EXPECT_EQ(formatCollectionProgress(10, 10, 900, 9, 30.0),
              "videos 10/10, 900 pairs, 30.00 pairs/s");
    EXPECT_EQ(formatCollectionSummary(7, 2, 1, 300, 10.0, 1),
              "10 videos: 7 written, 2 skipped as done before, 1 failed; 300 "
              "pairs in 10.00 s (30.00 pairs/s, 1 worker)\n");
}

// ---------------------------------------------------------------------------
// Whole collection runs

// The tree mirrors the collection, each item's files equal those of a run
// on that item alone, and each item has its done marker with its pairs.
TEST(CollectionRun, MirrorsTheTreeAndMarksEachItemDone)
{
    std::string dir = testRunDir();
    Collection c = makeCollection(dir);
    RunOutput run = runExport({c.list, dir + "/out"});
    ASSERT_EQ(run.code, kExitOk) << run.err;
    EXPECT_TRUE(contains(run.out, "3 videos: 3 written, 0 skipped")) << run.out;
    EXPECT_TRUE(contains(run.err, "videos 3/3, 7 pairs, ")) << run.err;
    EXPECT_TRUE(contains(run.out, "7 pairs")) << run.out;
    EXPECT_FALSE(fs::exists(dir + "/out/" + kFailedListName));

    struct Item {
        const char* output;
        std::string input;
        long pairs;
    };
    for (const Item& item :
         {Item{"walk/a", c.root + "/walk/a.avi", 3},
          Item{"run/b", c.root + "/run/b.avi", 2},
          Item{"run/c_frames", c.root + "/run/c_frames", 2}}) {
        SCOPED_TRACE(item.output);
        std::string alone = dir + "/alone/" + item.output;
        RunOutput single = runExport({item.input, alone, "--quiet"});
        ASSERT_EQ(single.code, kExitOk) << single.err;
        EXPECT_EQ(treeContents(dir + "/out/" + item.output),
                  treeContents(alone));
        long pairs = 0;
        ExportOptions options;
        EXPECT_TRUE(readDoneMarker(doneMarkerPath(dir + "/out", item.output),
                                   options, pairs));
        EXPECT_EQ(pairs, item.pairs);
    }
    // A folder of videos gives the same tree for the same videos.
    fs::remove_all(c.root + "/run/c_frames");
    RunOutput searched = runExport({c.root, dir + "/searched", "--quiet"});
    ASSERT_EQ(searched.code, kExitOk) << searched.err;
    EXPECT_EQ(treeContents(dir + "/searched/walk"),
              treeContents(dir + "/out/walk"));
}

// A second run skips items marked done with the same options, goes on with
// an item without its marker after the files it has, and redoes everything
// for other options or --force.
TEST(CollectionRun, SecondRunSkipsDoneItemsAndRedoesPartialOnes)
{
    std::string dir = testRunDir();
    Collection c = makeCollection(dir);
    std::string out = dir + "/out";
    ASSERT_EQ(runExport({c.list, out, "--quiet"}).code, kExitOk);
    const std::map<std::string, std::string> complete = treeContents(out);

    // a is done: a changed file shows that it is not written again. b is
    // partial: no marker, a file missing, a temporary file of a killed run;
    // its files that are there are kept.
    std::string aFile = out + "/walk/a/" + flowFileName(0);
    std::string bFile = out + "/run/b/" + flowFileName(0);
    std::ofstream(aFile) << "left alone";
    std::ofstream(bFile) << "kept";
    fs::remove(doneMarkerPath(out, "run/b"));
    fs::remove(out + "/run/b/" + flowFileName(1));
    touch(out + "/run/b/.flow_000001.flo.99999.part");

    RunOutput second = runExport({c.list, out, "--quiet"});
    ASSERT_EQ(second.code, kExitOk) << second.err;
    EXPECT_TRUE(contains(second.out, "1 written, 2 skipped")) << second.out;
    EXPECT_TRUE(contains(second.out, "failed; 1 pairs in")) << second.out;
    EXPECT_EQ(readFileBytes(aFile), "left alone");
    EXPECT_EQ(readFileBytes(bFile), "kept");
    std::map<std::string, std::string> now = treeContents(out);
    for (const std::string& name :
         {"walk/a/" + flowFileName(0), "run/b/" + flowFileName(0)})
        now[name] = complete.at(name);
    EXPECT_TRUE(now == complete) << "b was not finished to the same files";

    // Other options make every marker stale; the xy images replace the
    // .flo files.
    RunOutput xy = runExport({c.list, out, "--quiet", "--format", "xy"});
    ASSERT_EQ(xy.code, kExitOk) << xy.err;
    EXPECT_TRUE(contains(xy.out, "3 written, 0 skipped")) << xy.out;
    EXPECT_FALSE(fs::exists(aFile));
    EXPECT_TRUE(fs::exists(out + "/walk/a/" + xFileName(2, false)));
    RunOutput forced =
        runExport({c.list, out, "--quiet", "--format", "xy", "--force"});
    EXPECT_TRUE(contains(forced.out, "3 written, 0 skipped")) << forced.out;
}

// A failing item is listed with its reason; the others are done all the
// same, and the exit status says that not all succeeded. Once it is fixed,
// the next run finishes it and removes the list. The run is a process of
// its own: the video readers probed for the broken file leak in a system
// library, so the leak check of sanitizer builds is off for it.
TEST(CollectionRun, FailuresAreListedAndDoNotStopTheOthers)
{
    std::string dir = testRunDir();
    Collection c = makeCollection(dir);
    std::ofstream(c.root + "/walk/broken.avi") << "no video";
    std::ofstream(c.list, std::ios::app) << "walk/broken.avi\nwalk/none.avi\n";
    std::string out = dir + "/out";

    ProcessResult run =
        runProgram(dir, OF_ULK_EXPORT_BINARY, {c.list, out, "--quiet"},
                   "ASAN_OPTIONS=detect_leaks=0");
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_TRUE(contains(run.out, "3 written, 0 skipped as done before, 2 "
                                  "failed"))
        << run.out;
    std::string failed = readFileBytes(out + "/" + kFailedListName);
    EXPECT_TRUE(
        contains(failed, c.root + "/walk/broken.avi\tcannot read video"))
        << failed;
    EXPECT_TRUE(contains(failed, c.root + "/walk/none.avi\tcannot read input"))
        << failed;
    EXPECT_TRUE(contains(run.err, "2 of 5 inputs failed")) << run.err;
    EXPECT_TRUE(fs::exists(doneMarkerPath(out, "run/c_frames")));
    EXPECT_FALSE(fs::exists(out + "/walk/broken"));

    writeMjpgClip(c.root + "/walk/broken.avi", shiftedClip(2, 1, 1));
    writeMjpgClip(c.root + "/walk/none.avi", shiftedClip(2, 1, 1));
    RunOutput fixed = runExport({c.list, out, "--quiet"});
    EXPECT_EQ(fixed.code, kExitOk) << fixed.err;
    EXPECT_TRUE(contains(fixed.out, "2 written, 3 skipped")) << fixed.out;
    EXPECT_FALSE(fs::exists(out + "/" + kFailedListName));
}

class StoppedCollection : public testing::TestWithParam<SignalCase> {};

// Stopped at several moments by SIGINT, SIGTERM or SIGKILL, a run leaves
// only whole files under final names, and the same command run again
// gives exactly the tree of a run that was never stopped.
TEST_P(StoppedCollection, SecondRunCompletesItToTheUninterruptedTree)
{
    // Moments of the stop after the first progress line, in milliseconds.
    const int kDelaysMs[] = {0, 150, 400};
    const SignalCase& c = GetParam();
    std::string dir = testRunDir();
    std::string videos = dir + "/videos";
    const cv::Size size(320, 240);
    for (int i = 0; i < 3; ++i) {
        std::string clip = videos + "/class" + std::to_string(i % 2) + "/v" +
                           std::to_string(i) + ".avi";
        fs::create_directories(fs::path(clip).parent_path());
        std::string make = std::string(OF_ULK_CLIP_MAKER) + " " + clip +
                           " 320 240 16 " + std::to_string(i + 1) +
                           " >/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0);
    }
    const std::vector<std::string> options{"--png", "-j", "2"};
    std::vector<std::string> whole{videos, dir + "/whole", "--quiet"};
    whole.insert(whole.end(), options.begin(), options.end());
    RunOutput reference = runExport(whole);
    ASSERT_EQ(reference.code, kExitOk) << reference.err;
    const auto expected = treeContents(dir + "/whole");

    int stopped = 0;
    for (int delayMs : kDelaysMs) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(delayMs) +
                     " ms after the first video");
        std::string out = dir + "/out" + std::to_string(delayMs);
        std::vector<std::string> args{videos, out};
        args.insert(args.end(), options.begin(), options.end());
        const int status =
            stopExporterAfterFirstOutput(args, dir, delayMs, c.signal);
        ASSERT_NE(status, -1);
        bool finished = WIFEXITED(status) && WEXITSTATUS(status) == kExitOk;
        // A signal that comes after the last file, once the run has let go
        // of its handlers, ends the process the usual way: the run was over.
        if (c.signal != SIGKILL && WIFSIGNALED(status) &&
            WTERMSIG(status) == c.signal)
            finished = treeContents(out) == expected;
        stopped += finished ? 0 : 1;
        if (c.signal != SIGKILL && !finished) {
            EXPECT_TRUE(WIFEXITED(status)) << describeStatus(status);
            EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
        }
        // Every file under a final name is whole; a killed run may leave
        // temporary files, which the next run removes.
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name[0] != '.' &&
                entry.path().extension() != ".done")
                expectComplete(entry.path(), size);
        }
        RunOutput again = runExport(std::vector<std::string>{
            videos, out, "--quiet", "--png", "-j", "2"});
        ASSERT_EQ(again.code, kExitOk) << again.err;
        EXPECT_TRUE(treeContents(out) == expected)
            << "the finished tree differs from the uninterrupted one";
    }
    EXPECT_GT(stopped, 0) << "every run was over before its signal";
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedCollection,
                         testing::Values(SignalCase{SIGINT, "SIGINT"},
                                         SignalCase{SIGTERM, "SIGTERM"},
                                         SignalCase{SIGKILL, "SIGKILL"}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                             return std::string(info.param.name);
                         });

// The real clips of the shared material, listed by absolute path, each
// scaled to a short side of 64 pixels and cut to two pairs.
TEST(CollectionRun, ExportsTheSharedClips)
{
    std::string data = sharedDataDir();
    if (data.empty() || !fs::is_directory(data + "/videos"))
        GTEST_SKIP() << "shared test material is absent";
    std::string dir = testRunDir();
    std::vector<CollectionItem> items;
    std::string error;
    ASSERT_TRUE(findCollectionVideos(data + "/videos", items, error)) << error;
    std::ofstream list(dir + "/shared.list");
    for (const CollectionItem& item : items)
        list << item.input << "\n";
    list.close();

    RunOutput run =
        runExport({dir + "/shared.list", dir + "/out", "--quiet", "--format",
                   "xy", "--short-side", "64", "--max-pairs", "2"});
    ASSERT_EQ(run.code, kExitOk) << run.err;
    for (const CollectionItem& item : items) {
        std::string name = fs::path(item.input).stem().string();
        SCOPED_TRACE(name);
        long pairs = 0;
        ExportOptions options;
        options.format = FieldFormat::Xy;
        options.shortSide = 64;
        options.maxPairs = 2;
        EXPECT_TRUE(
            readDoneMarker(doneMarkerPath(dir + "/out", name), options, pairs));
        EXPECT_EQ(pairs, 2);
        cv::Mat y = cv::imread(dir + "/out/" + name + "/" + yFileName(1, false),
                               cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(y.empty());
        EXPECT_EQ(std::min(y.cols, y.rows), 64);
    }
}
