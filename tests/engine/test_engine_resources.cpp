// What one engine call costs besides its results: its extra memory stays
// within a bound per pixel whatever the frame shows, one OpenCV thread
// starts no thread, and the results are the same bytes at every thread
// count.
#include "cvoptflowulk.h"
#include "cvoptflowulk.hpp"
#include "support.h"
#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

using namespace ulk::tools;

#if defined(__SANITIZE_ADDRESS__)
#define OF_ULK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OF_ULK_ASAN 1
#endif
#endif

namespace {

// Extra address space one call may take, per pixel of the frame.
const size_t kBytesPerPixel = 64;

// Exit codes of the child processes.
enum ChildStatus { kChildOk = 0, kChildOutOfMemory = 2, kChildOtherError = 3 };

// The process's mapped address space in bytes, from /proc.
size_t addressSpaceBytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmSize:") {
            size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

int threadCount()
{
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(tasks);
    }
    return count;
}

// Runs body in a child process and returns its exit code (-1 when it did
// not exit by itself). The child never returns into the test runner.
template <class Body> int inChild(Body body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int status = kChildOtherError;
        try {
            status = body();
        } catch (const std::bad_alloc&) {
            status = kChildOutOfMemory;
        } catch (const cv::Exception& e) {
            status = e.code == cv::Error::StsNoMem ? kChildOutOfMemory
                                                   : kChildOtherError;
        } catch (...) {
        }
        _exit(status);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A call on a 3840 x 2160 frame of diagonal stripes, under an address-space
// limit of what the process holds before the call plus 64 bytes per pixel.
// The frames, the velocity maps and the storage are made before the limit;
// one OpenCV thread, so that no thread stack or per-thread heap counts.
TEST(EngineMemory, StripedFourKFrameStaysWithinItsBudget)
{
#ifdef OF_ULK_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves address space of its own; the "
                    "limit is checked in builds without it";
#endif
    const int status = inChild([] {
        cv::setNumThreads(1);
        const cv::Size size(3840, 2160);
        const cv::Mat frame = diagonalStripes(size);
        VelocityField field{cv::Mat(size, CV_32FC1), cv::Mat(size, CV_32FC1)};
        CvMemStorage* storage = cvCreateMemStorage(0);
        // A first small call loads what the library loads once.
        const cv::Mat small = frame(cv::Rect(0, 0, 64, 64)).clone();
        flowField(small, small, storage, nullptr);

        const size_t budget = kBytesPerPixel * size_t(size.area());
        const rlimit limit = {addressSpaceBytes() + budget,
                              addressSpaceBytes() + budget};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return int(kChildOtherError);
        calcFlow(frame, frame, &field, storage, nullptr);
        return int(kChildOk);
    });
    EXPECT_EQ(status, kChildOk) << "2: out of memory, 3: another failure";
}

// Ends the process with its number of threads after one call on a
// 1920 x 1080 scene with the given OpenCV thread count, set before anything
// else (the thread pool keeps the count it starts with).
[[noreturn]] void exitWithThreadsAfterACall(int threads)
{
    cv::setNumThreads(threads);
    const SyntheticScene scene(1920, 1080, 1);
    CvMemStorage* storage = cvCreateMemStorage(0);
    flowField(scene.greyFrame(0), scene.greyFrame(1), storage, nullptr);
    std::exit(threadCount());
}

bool exitedWithMoreThanOne(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) > 1;
}

// With cv::setNumThreads(1) a call runs on the caller's thread alone; with
// two, the same count shows the pool's thread, so the count can tell. Each
// count is taken in a process that starts afresh from the test program
// (not a fork, which would inherit the pool of earlier tests in this one).
TEST(EngineThreads, OneThreadStartsNoThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithThreadsAfterACall(1), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(exitWithThreadsAfterACall(2), exitedWithMoreThanOne, "");
}

struct ThreadCase {
    const char* name;
    bool striped; // else the scene
};

class EngineThreadCount : public ::testing::TestWithParam<ThreadCase> {};

// Bands of rows and stripes of points are shared out differently at every
// thread count; the bytes out must not notice.
TEST_P(EngineThreadCount, GivesTheSameBytesAsOneThread)
{
    SCOPED_TRACE(GetParam().name);
    const cv::Size size(1920, 1080);
    cv::Mat older, newer;
    if (GetParam().striped) {
        older = diagonalStripes(size);
        newer = diagonalStripes(size, 3);
    } else {
        const SyntheticScene scene(size.width, size.height, 1);
        older = scene.greyFrame(0);
        newer = scene.greyFrame(1);
    }
    // The default count first: the pool keeps the count it starts with.
    const int saved = cv::getNumThreads();
    const std::string parallel = callBytes(older, newer, true);
    cv::setNumThreads(1);
    const std::string serial = callBytes(older, newer, true);
    EXPECT_TRUE(parallel == serial) << saved << " threads";
    for (const int threads : {3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        cv::setNumThreads(threads);
        EXPECT_TRUE(callBytes(older, newer, true) == serial);
    }
    cv::setNumThreads(saved);
}

// What f returns when called on a thread of its own, which starts without
// work buffers.
template <class F> std::string onFreshThread(F f)
{
    std::string bytes;
    std::thread([&] { bytes = f(); }).join();
    return bytes;
}

// Each thread keeps its working buffers from one call to the next. Calls
// that find them left by calls at another size, with or without a
// StuffInfo, give the bytes of calls on threads that start afresh.
TEST(EngineWorkBuffers, ReusedBuffersGiveTheBytesOfFreshOnes)
{
    const SyntheticScene large(320, 240, 3);
    const SyntheticScene small(200, 150, 4);
    const cv::Mat largeA = large.greyFrame(0), largeB = large.greyFrame(1);
    const cv::Mat smallA = small.greyFrame(2), smallB = small.greyFrame(3);
    const auto largeInfo = [&] { return callBytes(largeA, largeB, true); };
    const auto largeField = [&] { return callBytes(largeA, largeB, false); };
    const auto smallInfo = [&] { return callBytes(smallA, smallB, true); };
    const auto smallField = [&] { return callBytes(smallA, smallB, false); };
    const std::string expected[] = {
        onFreshThread(largeInfo), onFreshThread(smallField),
        onFreshThread(largeField), onFreshThread(smallInfo)};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_TRUE(largeInfo() == expected[0]);
        EXPECT_TRUE(smallField() == expected[1]);
        EXPECT_TRUE(largeField() == expected[2]);
        EXPECT_TRUE(smallInfo() == expected[3]);
    }
}

// Resident bytes of the process, from /proc/self/status.
long residentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long kilobytes = 0;
    while (status >> key)
        if (key == "VmRSS:" && status >> kilobytes)
            return kilobytes * 1024;
    return 0;
}

// A call on a 3000 x 3000 frame leaves the thread about 120 MB of working
// buffers, which outlive the object that made the call; both ways of
// handing them back return most of it to the system (collectGarbage on an
// object without buffers of its own, so that only the thread's count).
TEST(EngineWorkBuffers, ReleaseHandsTheThreadsBuffersBack)
{
#ifdef OF_ULK_ASAN
    GTEST_SKIP() << "AddressSanitizer holds freed memory back; the release "
                    "is checked in builds without it";
#endif
    const cv::Mat frame = diagonalStripes(cv::Size(3000, 3000));
    const long kReleased = 80L << 20;
    for (const bool throughObject : {false, true}) {
        SCOPED_TRACE(throughObject ? "collectGarbage" : "the C entry");
        {
            cv::Mat flow;
            cv::optflow::createOptFlow_ULK()->calc(frame, frame, flow);
        }
        const long before = residentBytes();
        if (throughObject)
            cv::optflow::createOptFlow_ULK()->collectGarbage();
        else
            cvReleaseOpticalFlowULKBuffers();
        EXPECT_GT(before - residentBytes(), kReleased);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, EngineThreadCount,
                         ::testing::Values(ThreadCase{"scene", false},
                                           ThreadCase{"stripes", true}),
                         [](const ::testing::TestParamInfo<ThreadCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
