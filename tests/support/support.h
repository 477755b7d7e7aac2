// Helpers shared by the tests.
#ifndef OF_ULK_TESTS_SUPPORT_H
#define OF_ULK_TESTS_SUPPORT_H

#include "cvoptflowulk.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

// Runs fn and expects it to throw cv::Exception with this code, function
// name and message (compared exactly).
#define EXPECT_CV_ERROR(statement, expectedCode, expectedFunc, expectedMsg)    \
    do {                                                                       \
        bool thrown_ = false;                                                  \
        try {                                                                  \
            statement;                                                         \
        } catch (const cv::Exception& e_) {                                    \
            thrown_ = true;                                                    \
            EXPECT_EQ(e_.code, (expectedCode));                                \
            EXPECT_EQ(e_.func, std::string(expectedFunc));                     \
            EXPECT_EQ(e_.err, std::string(expectedMsg));                       \
        }                                                                      \
        EXPECT_TRUE(thrown_) << "no cv::Exception from " #statement;           \
    } while (0)

// text as a test parameter name: each run of characters other than letters
// and digits becomes one '_', none at either end.
std::string paramName(const std::string& text);

// A fresh directory under the build tree for one test's files.
std::string testTempDir(const std::string& name);

// Folder of the shared real test material, or "" when it is absent.
std::string sharedDataDir();

// Whole contents of a file as bytes; "" when it cannot be read.
std::string readFileBytes(const std::string& path);

// text single-quoted for the shell; any byte may stand in it.
std::string shellQuoted(const std::string& text);

// A fresh folder named after the running test and its parameter, since
// ctest runs the tests of a file in parallel.
std::string testRunDir();

struct ProcessResult {
    int status = -1; // exit status, -1 when the process did not exit
    std::string out; // standard output
    std::string err; // standard error
};

// Runs program with args in dir and captures both streams. The display
// variables and the test runner's Qt platform are removed (the program must
// choose its own), sanitized builds get the third-party leak suppressions of
// tests/lsan.supp, environment adds "NAME=value ..." settings, and a run
// longer than timeoutSeconds is stopped and ends with status 124.
ProcessResult runProgram(const std::string& dir, const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& environment = "",
                         int timeoutSeconds = 120);

// Runs program as runProgram does, sends it `signal` once its standard
// output holds afterOutput, and waits for it to end (killed after
// timeoutSeconds).
ProcessResult runProgramSignalled(const std::string& dir,
                                  const std::string& program,
                                  const std::vector<std::string>& args,
                                  const std::string& environment, int signal,
                                  const std::string& afterOutput,
                                  int timeoutSeconds = 120);

// How many times text stands in `in`.
int countOf(const std::string& in, const std::string& text);

// Every frame of a video file, as decoded (none when it cannot be read).
std::vector<cv::Mat> readVideoFrames(const std::string& path);

// The velocity maps of one call (CV_32FC1 each).
struct VelocityField {
    cv::Mat velx;
    cv::Mat vely;
};

// One call of a C entry on the caller's maps: cvCalcOpticalFlowULK, or
// cvCalcOpticalFlowULKRefined with refinedFlags when they are given.
void calcFlow(const cv::Mat& older, const cv::Mat& newer, VelocityField* field,
              CvMemStorage* storage, StuffInfo* info,
              std::optional<int> refinedFlags = std::nullopt);

// The same call into maps of the frames' size whose elements start at
// startX and startY, so that a pixel the call leaves alone shows.
VelocityField flowField(const cv::Mat& older, const cv::Mat& newer,
                        CvMemStorage* storage, StuffInfo* info,
                        float startX = 0.0f, float startY = 0.0f,
                        std::optional<int> refinedFlags = std::nullopt);

// The C entries' field for two grey frames as CV_32FC2 (x, y):
// cvCalcOpticalFlowULK for flags 0, else cvCalcOpticalFlowULKRefined with
// the flags; in storage when given (info then stays valid until its next
// use), else in a storage of its own.
cv::Mat engineFlow(const cv::Mat& older, const cv::Mat& newer, int flags = 0,
                   StuffInfo* info = nullptr, CvMemStorage* storage = nullptr);

// Everything one call on a fresh storage hands out, as bytes: both maps
// (which start at 0.25 and -0.25), and with a StuffInfo the IdxMap, the
// tracking points and each segment record with its point list as indices
// into the tracking points instead of pointers.
std::string callBytes(const cv::Mat& older, const cv::Mat& newer,
                      bool withStuffInfo,
                      std::optional<int> refinedFlags = std::nullopt);

// Success when both arrays have one size and type and the same bytes.
::testing::AssertionResult sameBytes(const cv::Mat& got, const cv::Mat& want);
::testing::AssertionResult sameField(const VelocityField& got,
                                     const VelocityField& want);

// m copied into a larger array of 7s, as a view with padded rows.
cv::Mat paddedView(const cv::Mat& m);

// Number of blocks a storage holds.
int storageBlocks(const CvMemStorage* storage);

// The elements of a sequence, copied out (the records are packed).
template <class Record> std::vector<Record> seqElements(const CvSeq* seq)
{
    std::vector<Record> out(seq->total);
    for (int i = 0; i < seq->total; ++i)
        std::memcpy(&out[i], cvGetSeqElem(seq, i), sizeof(Record));
    return out;
}

// A texture and the same texture moved by (dx, dy), fractions included
// (bilinear, borders reflected), both on the older frame's grid; inner
// leaves out the band of the largest shift around the border. texture
// makes a grey image of the size it is given.
struct MovedPair {
    cv::Mat older;
    cv::Mat newer;
    cv::Rect inner;
};
MovedPair movedTexture(cv::Size size, double dx, double dy,
                       cv::Mat (*texture)(cv::Size));

// The first count frames of a clip of the shared material, as decoded;
// none when the material or that many frames are not there.
std::vector<cv::Mat> sharedClipFrames(const std::string& name, int count);

// A level map (CV_16UC1, levels 1..10) of painted shapes (boxes, discs,
// rings and strokes of random levels) with a sprinkling of single pixels,
// of random size between 24 x 16 and 160 x 120 (scale times that), and a
// grey frame (CV_8UC1) that follows the levels with noise, so that the most
// similar neighbour varies.
void randomLevelMap(std::mt19937* rng, cv::Mat* levels, cv::Mat* grey,
                    int scale = 1);

#endif
