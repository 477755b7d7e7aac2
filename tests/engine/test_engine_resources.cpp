// What one engine call costs besides its results: its extra memory stays
// within a bound per pixel whatever the frame shows, one OpenCV thread
// starts no thread, and the results are the same bytes at every thread
// count.
#include "cvoptflowulk.h"
#include "driver.h"
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
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace ulk::viewer;
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

// One call without a StuffInfo on matrices made by the caller.
void flow(const cv::Mat& older, const cv::Mat& newer, cv::Mat* velx,
          cv::Mat* vely, CvMemStorage* storage, StuffInfo* info = nullptr)
{
    CvMat a = cvMat(older), b = cvMat(newer), x = cvMat(*velx),
          y = cvMat(*vely);
    cvCalcOpticalFlowULK(&a, &b, &x, &y, storage, info);
}

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
        cv::Mat velx(size, CV_32FC1), vely(size, CV_32FC1);
        CvMemStorage* storage = cvCreateMemStorage(0);
        // A first small call loads what the library loads once.
        cv::Mat smallX(64, 64, CV_32FC1), smallY(64, 64, CV_32FC1);
        const cv::Mat small = frame(cv::Rect(0, 0, 64, 64)).clone();
        flow(small, small, &smallX, &smallY, storage);

        const size_t budget = kBytesPerPixel * size_t(size.area());
        const rlimit limit = {addressSpaceBytes() + budget,
                              addressSpaceBytes() + budget};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return int(kChildOtherError);
        flow(frame, frame, &velx, &vely, storage);
        return int(kChildOk);
    });
    EXPECT_EQ(status, kChildOk) << "2: out of memory, 3: another failure";
}

// Number of threads of a child process after one call on a 1920 x 1080
// scene with the given OpenCV thread count, set before anything else (the
// thread pool keeps the count it starts with).
int threadsAfterACall(int threads)
{
    return inChild([threads] {
        cv::setNumThreads(threads);
        const SyntheticScene scene(1920, 1080, 1);
        const cv::Mat a = scene.greyFrame(0), b = scene.greyFrame(1);
        cv::Mat velx(a.size(), CV_32FC1), vely(a.size(), CV_32FC1);
        CvMemStorage* storage = cvCreateMemStorage(0);
        flow(a, b, &velx, &vely, storage);
        return threadCount();
    });
}

// With cv::setNumThreads(1) a call runs on the caller's thread alone; with
// two, the same count shows the pool's thread, so the count can tell.
TEST(EngineThreads, OneThreadStartsNoThread)
{
    EXPECT_EQ(threadsAfterACall(1), 1);
    EXPECT_GT(threadsAfterACall(2), 1);
}

// Everything a call hands out, as bytes: both maps, the IdxMap, the segment
// records (without pointers) and the tracking points.
std::vector<unsigned char> outputBytes(const cv::Mat& older,
                                       const cv::Mat& newer)
{
    cv::Mat velx(older.size(), CV_32FC1, cv::Scalar(0.25f));
    cv::Mat vely = velx.clone();
    CvMemStorage* storage = cvCreateMemStorage(
        storageBlockSize(older.rows, older.cols, /*stuffInfo=*/true));
    StuffInfo info;
    flow(older, newer, &velx, &vely, storage, &info);
    std::vector<unsigned char> bytes(velx.datastart, velx.dataend);
    bytes.insert(bytes.end(), vely.datastart, vely.dataend);
    const unsigned char* map = info.idxMap.data.ptr;
    bytes.insert(bytes.end(), map,
                 map + size_t(info.idxMap.rows) * info.idxMap.step);
    for (int i = 0; i < info.segments->total; ++i) {
        SegmentRecord s;
        std::memcpy(&s, cvGetSeqElem(info.segments, i), sizeof s);
        s.points = nullptr;
        s.reserved = 0;
        if (s.pixelCount == 0)
            s.meanGrey = 0; // undefined then
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&s);
        bytes.insert(bytes.end(), p, p + sizeof s);
    }
    for (int i = 0; i < info.trackPoints->total; ++i) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(
            cvGetSeqElem(info.trackPoints, i));
        bytes.insert(bytes.end(), p, p + sizeof(TrackPoint));
    }
    cvReleaseMemStorage(&storage);
    return bytes;
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
        newer = older.clone();
        older(cv::Rect(0, 0, size.width - 3, size.height))
            .copyTo(newer(cv::Rect(3, 0, size.width - 3, size.height)));
    } else {
        const SyntheticScene scene(size.width, size.height, 1);
        older = scene.greyFrame(0);
        newer = scene.greyFrame(1);
    }
    // The default count first: the pool keeps the count it starts with.
    const int saved = cv::getNumThreads();
    const std::vector<unsigned char> parallel = outputBytes(older, newer);
    cv::setNumThreads(1);
    const std::vector<unsigned char> serial = outputBytes(older, newer);
    EXPECT_TRUE(parallel == serial) << saved << " threads";
    for (const int threads : {3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        cv::setNumThreads(threads);
        EXPECT_TRUE(outputBytes(older, newer) == serial);
    }
    cv::setNumThreads(saved);
}

// The bytes of the engine's field without a StuffInfo (the label map is
// then working memory too).
std::vector<unsigned char> fieldBytes(const cv::Mat& older,
                                      const cv::Mat& newer)
{
    const cv::Mat field = engineFlow(older, newer);
    return std::vector<unsigned char>(field.datastart, field.dataend);
}

// What f returns when called on a thread of its own, which starts without
// work buffers.
template <class F> std::vector<unsigned char> onFreshThread(F f)
{
    std::vector<unsigned char> bytes;
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
    const auto largeInfo = [&] { return outputBytes(largeA, largeB); };
    const auto largeField = [&] { return fieldBytes(largeA, largeB); };
    const auto smallInfo = [&] { return outputBytes(smallA, smallB); };
    const auto smallField = [&] { return fieldBytes(smallA, smallB); };
    const std::vector<unsigned char> expected[] = {
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

INSTANTIATE_TEST_SUITE_P(Frames, EngineThreadCount,
                         ::testing::Values(ThreadCase{"scene", false},
                                           ThreadCase{"stripes", true}),
                         [](const ::testing::TestParamInfo<ThreadCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
