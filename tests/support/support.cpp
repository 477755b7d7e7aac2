#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

ProcessResult runProgram(const std::string& dir, const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& environment, int timeoutSeconds)
{
    const std::filesystem::path suppressions =
        std::filesystem::path(__FILE__).parent_path() / "lsan.supp";
    std::string command =
        "cd " + shellQuoted(dir) +
        " && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
        "LSAN_OPTIONS=suppressions=" +
        shellQuoted(suppressions.string()) +
        ":fast_unwind_on_malloc=0:print_suppressions=0 " + environment +
        " timeout -k 10 " + std::to_string(timeoutSeconds) + " " +
        shellQuoted(program);
    for (const std::string& arg : args)
        command += " " + shellQuoted(arg);
    command += " >.run_out 2>.run_err </dev/null";
    const int raw = std::system(command.c_str());
    ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFileBytes(dir + "/.run_out");
    result.err = readFileBytes(dir + "/.run_err");
    return result;
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

cv::Mat engineFlow(const cv::Mat& older, const cv::Mat& newer, int flags,
                   StuffInfo* info, CvMemStorage* storage)
{
    cv::Mat velx(older.size(), CV_32FC1);
    cv::Mat vely(older.size(), CV_32FC1);
    CvMat a = cvMat(older);
    CvMat b = cvMat(newer);
    CvMat vx = cvMat(velx);
    CvMat vy = cvMat(vely);
    CvMemStorage* own = storage ? nullptr : cvCreateMemStorage(0);
    CvMemStorage* used = storage ? storage : own;
    if (flags == 0)
        cvCalcOpticalFlowULK(&a, &b, &vx, &vy, used, info);
    else
        cvCalcOpticalFlowULKRefined(&a, &b, &vx, &vy, used, info, flags);
    cvReleaseMemStorage(&own);
    cv::Mat flow;
    cv::Mat channels[] = {velx, vely};
    cv::merge(channels, 2, flow);
    return flow;
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
