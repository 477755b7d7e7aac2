#include "export_runs.h"

#include "support.h"

#include "batch_export.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

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
#include <sstream>
#include <thread>

using namespace ulk::exporter;

extern char** environ;

namespace fs = std::filesystem;

pid_t startExporter(const std::vector<std::string>& args,
                    const std::string& dir, long fileSizeLimit)
{
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> words{OF_ULK_EXPORT_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string suppressions =
        std::string("LSAN_OPTIONS=suppressions=") + OF_ULK_LSAN_SUPPRESSIONS;
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LSAN_OPTIONS=", 13) != 0)
            envp.push_back(*e);
    envp.push_back(suppressions.data());
    envp.push_back(nullptr);
    std::string outPath = dir + "/stdout.txt";
    std::string errPath = dir + "/stderr.txt";
    std::ofstream(outPath, std::ios::trunc).close();
    std::ofstream(errPath, std::ios::trunc).close();

    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (fileSizeLimit > 0) {
            rlimit limit{static_cast<rlim_t>(fileSizeLimit),
                         static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int waitForExit(pid_t pid, int timeoutSeconds)
{
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the exporter did not end in " << timeoutSeconds
                          << " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

int stopExporterAfterFirstOutput(const std::vector<std::string>& args,
                                 const std::string& dir, int delayMs,
                                 int signal)
{
    const pid_t pid = startExporter(args, dir);
    if (pid <= 0) {
        ADD_FAILURE() << "the exporter did not start";
        return -1;
    }
    int status = 0;
    std::error_code ec;
    while (fs::file_size(dir + "/stderr.txt", ec) == 0) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, signal);
    return waitForExit(pid);
}

std::string describeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "ended by signal " + std::to_string(WTERMSIG(status));
    return "raw status " + std::to_string(status);
}

void expectComplete(const fs::path& path, cv::Size size)
{
    SCOPED_TRACE(path.string());
    std::string bytes = readFileBytes(path.string());
    if (path.extension() == ".flo") {
        ASSERT_GE(bytes.size(), 12u);
        float tag = 0.0f;
        int header[2] = {0, 0};
        std::memcpy(&tag, bytes.data(), 4);
        std::memcpy(header, bytes.data() + 4, 8);
        EXPECT_EQ(tag, 202021.25f);
        EXPECT_EQ(header[0], size.width);
        EXPECT_EQ(header[1], size.height);
        EXPECT_EQ(bytes.size(), 12u + 8u * size.area());
    } else {
        cv::Mat image = cv::imdecode(
            std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_COLOR);
        EXPECT_EQ(image.size(), size);
    }
}

long expectCompletePrefix(const std::string& dir, cv::Size size,
                          const std::vector<std::string>& suffixes)
{
    std::map<long, std::vector<std::string>> pairs;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        EXPECT_NE(name[0], '.') << "file left behind: " << name;
        if (name[0] == '.')
            continue;
        expectComplete(entry.path(), size);
        pairs[std::stol(name.substr(5, 6))].push_back(name.substr(11));
    }
    long n = static_cast<long>(pairs.size());
    for (const auto& [index, found] : pairs) {
        EXPECT_LT(index, n) << "pair " << index << " is not in the prefix";
        EXPECT_EQ(found.size(), suffixes.size()) << "pair " << index;
    }
    return n;
}

RunOutput runExport(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    RunOutput run;
    run.code = exportMain(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

void PrintTo(const SignalCase& c, std::ostream* os)
{
    *os << c.name;
}
