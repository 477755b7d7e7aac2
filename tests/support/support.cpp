#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// OPENCV_FOR_THREADS_NUM, which OpenCV's TBB build does not read itself,
// as the programs take it: with 1, a ThreadSanitizer run of a test program
// sees only the threads of the code under test, not OpenCV's
// uninstrumented pool.
const bool kThreadSettingApplied = [] {
    const char* text = std::getenv("OPENCV_FOR_THREADS_NUM");
    const int threads = text != nullptr ? std::atoi(text) : 0;
    if (threads >= 1)
        cv::setNumThreads(threads);
    return true;
}();

} // namespace

std::string testTempDir(const std::string& name)
{
    std::filesystem::path dir = std::filesystem::path(OF_ULK_TEST_TMP) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string sharedDataDir()
{
    std::filesystem::path dir(OF_ULK_SHARED_DATA);
    return std::filesystem::is_directory(dir) ? dir.string() : std::string();
}

std::string readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string testRunDir()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return testTempDir(name);
}

namespace {

// The shell command that runs program in dir as runProgram describes,
// with `launcher` ("timeout ...", "exec") before it.
std::string programCommand(const std::string& dir, const std::string& program,
                           const std::vector<std::string>& args,
                           const std::string& environment,
                           const std::string& launcher)
{
    const std::filesystem::path suppressions = OF_ULK_LSAN_SUPPRESSIONS;
    std::string command =
        "cd " + shellQuoted(dir) + " && " + launcher +
        " env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
        "LSAN_OPTIONS=suppressions=" +
        shellQuoted(suppressions.string()) +
        ":fast_unwind_on_malloc=0:print_suppressions=0 " + environment + " " +
        shellQuoted(program);
    for (const std::string& arg : args)
        command += " " + shellQuoted(arg);
    return command + " >.run_out 2>.run_err </dev/null";
}

ProcessResult collectResult(const std::string& dir, int raw)
{
    ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFileBytes(dir + "/.run_out");
    result.err = readFileBytes(dir + "/.run_err");
    return result;
}

} // namespace

ProcessResult runProgram(const std::string& dir, const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& environment, int timeoutSeconds)
{
    const std::string command =
        programCommand(dir, program, args, environment,
                       "timeout -k 10 " + std::to_string(timeoutSeconds));
    return collectResult(dir, std::system(command.c_str()));
}

ProcessResult runProgramSignalled(const std::string& dir,
                                  const std::string& program,
                                  const std::vector<std::string>& args,
                                  const std::string& environment, int signal,
                                  const std::string& afterOutput,
                                  int timeoutSeconds)
{
    const std::string command =
        programCommand(dir, program, args, environment, "exec");
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    int raw = 0;
    bool signalled = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
        } else if (!signalled &&
                   readFileBytes(dir + "/.run_out").find(afterOutput) !=
                       std::string::npos) {
            kill(pid, signal);
            signalled = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return collectResult(dir, raw);
}

std::string paramName(const std::string& text)
{
    std::string name;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    if (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

void calcFlow(const cv::Mat& older, const cv::Mat& newer, VelocityField* field,
              CvMemStorage* storage, StuffInfo* info,
              std::optional<int> refinedFlags)
{
    CvMat a = cvMat(older), b = cvMat(newer), x = cvMat(field->velx),
          y = cvMat(field->vely);
    if (refinedFlags)
        cvCalcOpticalFlowULKRefined(&a, &b, &x, &y, storage, info,
                                    *refinedFlags);
    else
        cvCalcOpticalFlowULK(&a, &b, &x, &y, storage, info);
}

VelocityField flowField(const cv::Mat& older, const cv::Mat& newer,
                        CvMemStorage* storage, StuffInfo* info, float startX,
                        float startY, std::optional<int> refinedFlags)
{
    VelocityField field{cv::Mat(older.size(), CV_32FC1, cv::Scalar(startX)),
                        cv::Mat(older.size(), CV_32FC1, cv::Scalar(startY))};
    calcFlow(older, newer, &field, storage, info, refinedFlags);
    return field;
}

cv::Mat engineFlow(const cv::Mat& older, const cv::Mat& newer, int flags,
                   StuffInfo* info, CvMemStorage* storage)
{
    CvMemStorage* own = storage ? nullptr : cvCreateMemStorage(0);
    const VelocityField field =
        flowField(older, newer, storage ? storage : own, info, 0.0f, 0.0f,
                  flags ? std::optional<int>(flags) : std::nullopt);
    cvReleaseMemStorage(&own);
    cv::Mat flow;
    cv::merge(std::vector<cv::Mat>{field.velx, field.vely}, flow);
    return flow;
}

std::string callBytes(const cv::Mat& older, const cv::Mat& newer,
                      bool withStuffInfo, std::optional<int> refinedFlags)
{
    CvMemStorage* storage =
        cvCreateMemStorage(older.rows * older.cols * 2 + 65536);
    StuffInfo info;
    const VelocityField field =
        flowField(older, newer, storage, withStuffInfo ? &info : nullptr, 0.25f,
                  -0.25f, refinedFlags);
    std::string bytes;
    const auto add = [&bytes](const void* data, size_t size) {
        bytes.append(static_cast<const char*>(data), size);
    };
    add(field.velx.data, field.velx.total() * field.velx.elemSize());
    add(field.vely.data, field.vely.total() * field.vely.elemSize());
    if (withStuffInfo) {
        add(info.idxMap.data.ptr, size_t(info.idxMap.rows) * info.idxMap.step);
        for (int i = 0; i < info.trackPoints->total; ++i)
            add(cvGetSeqElem(info.trackPoints, i), sizeof(TrackPoint));
        for (SegmentRecord record : seqElements<SegmentRecord>(info.segments)) {
            const CvSeq* points = record.points;
            record.points = nullptr;
            add(&record, sizeof(record));
            for (const TrackPoint* point : seqElements<TrackPoint*>(points)) {
                const int index = cvSeqElemIdx(info.trackPoints, point);
                add(&index, sizeof(index));
            }
        }
    }
    cvReleaseMemStorage(&storage);
    return bytes;
}

::testing::AssertionResult sameBytes(const cv::Mat& got, const cv::Mat& want)
{
    if (got.size() != want.size() || got.type() != want.type())
        return ::testing::AssertionFailure()
               << "got " << got.cols << "x" << got.rows << " type "
               << got.type() << ", want " << want.cols << "x" << want.rows
               << " type " << want.type();
    for (int y = 0; y < got.rows; ++y)
        if (std::memcmp(got.ptr(y), want.ptr(y), got.cols * got.elemSize()))
            return ::testing::AssertionFailure() << "row " << y << " differs";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameField(const VelocityField& got,
                                     const VelocityField& want)
{
    ::testing::AssertionResult x = sameBytes(got.velx, want.velx);
    if (!x)
        return x << " in velx";
    ::testing::AssertionResult y = sameBytes(got.vely, want.vely);
    if (!y)
        return y << " in vely";
    return ::testing::AssertionSuccess();
}

cv::Mat paddedView(const cv::Mat& m)
{
    cv::Mat larger(m.rows + 4, m.cols + 5, m.type(), cv::Scalar::all(7));
    m.copyTo(larger(cv::Rect(2, 1, m.cols, m.rows)));
    return larger(cv::Rect(2, 1, m.cols, m.rows));
}

int storageBlocks(const CvMemStorage* storage)
{
    int n = 0;
    for (const CvMemBlock* b = storage->bottom; b != nullptr; b = b->next)
        ++n;
    return n;
}

MovedPair movedTexture(cv::Size size, double dx, double dy,
                       cv::Mat (*texture)(cv::Size))
{
    const int margin = int(std::ceil(std::max(std::abs(dx), std::abs(dy)))) + 1;
    const cv::Size big(size.width + 2 * margin, size.height + 2 * margin);
    const cv::Mat whole = texture(big);
    cv::Mat moved;
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
    cv::warpAffine(whole, moved, shift, big, cv::INTER_LINEAR,
                   cv::BORDER_REFLECT);
    const cv::Rect view(margin, margin, size.width, size.height);
    return {whole(view).clone(), moved(view).clone(),
            cv::Rect(margin, margin, size.width - 2 * margin,
                     size.height - 2 * margin)};
}

std::vector<cv::Mat> sharedClipFrames(const std::string& name, int count)
{
    std::vector<cv::Mat> frames;
    const std::string dir = sharedDataDir();
    if (dir.empty())
        return frames;
    cv::VideoCapture capture(dir + "/videos/" + name);
    cv::Mat frame;
    while (int(frames.size()) < count && capture.read(frame))
        frames.push_back(frame.clone());
    if (int(frames.size()) < count)
        frames.clear();
    return frames;
}

int countOf(const std::string& in, const std::string& text)
{
    int count = 0;
    for (std::size_t at = in.find(text); at != std::string::npos;
         at = in.find(text, at + text.size()))
        ++count;
    return count;
}

std::vector<cv::Mat> readVideoFrames(const std::string& path)
{
    std::vector<cv::Mat> frames;
    cv::VideoCapture capture(path);
    cv::Mat frame;
    while (capture.read(frame))
        frames.push_back(frame.clone());
    return frames;
}

void randomLevelMap(std::mt19937* rng, cv::Mat* levels, cv::Mat* grey,
                    int scale)
{
    const auto uniform = [rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(*rng);
    };
    const cv::Size size(uniform(24 * scale, 160 * scale),
                        uniform(16 * scale, 120 * scale));
    *levels = cv::Mat(size, CV_16UC1, cv::Scalar(uniform(1, 10)));
    const int shapes = uniform(2, 40 * scale * scale);
    for (int i = 0; i < shapes; ++i) {
        const cv::Point c(uniform(0, size.width - 1),
                          uniform(0, size.height - 1));
        const cv::Scalar level(uniform(1, 10));
        switch (uniform(0, 3)) {
        case 0:
            cv::rectangle(
                *levels, c,
                c + cv::Point(uniform(1, 60 * scale), uniform(1, 60 * scale)),
                level, cv::FILLED);
            break;
        case 1:
            cv::circle(*levels, c, uniform(1, 30 * scale), level, cv::FILLED);
            break;
        case 2:
            cv::circle(*levels, c, uniform(3, 30 * scale), level,
                       uniform(1, 3));
            break;
        default:
            cv::line(*levels, c,
                     cv::Point(uniform(0, size.width), uniform(0, size.height)),
                     level, uniform(1, 4));
        }
    }
    const int dots = uniform(0, size.area() / 20);
    for (int i = 0; i < dots; ++i)
        levels->at<unsigned short>(uniform(0, size.height - 1),
                                   uniform(0, size.width - 1)) =
            (unsigned short)uniform(1, 10);
    cv::Mat noise(size, CV_16SC1);
    cv::randu(noise, -12, 13);
    cv::Mat sum;
    cv::add(*levels * 22, noise, sum, cv::noArray(), CV_16S);
    sum.convertTo(*grey, CV_8U);
}
