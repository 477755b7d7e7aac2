// Tests of the output files that appear only when complete: a failed write
// or rename keeps the earlier file and leaves no temporary file behind.
#include "support.h"

#include "atomic_file.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace ulk::exporter;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> namesIn(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<unsigned char> bytesOf(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

} // namespace

TEST(AtomicFile, TemporaryNameIsAHiddenFileBesideTheTarget)
{
    std::string target = "out/flow_000012.flo";
    fs::path temporary(temporaryFileName(target));
    EXPECT_EQ(temporary.parent_path(), fs::path("out"));
    std::string name = temporary.filename().string();
    EXPECT_EQ(name, ".flow_000012.flo." + std::to_string(::getpid()) + ".part");
    EXPECT_TRUE(isTemporaryFileName(name));
    for (const char* other :
         {"flow_000012.flo", ".flow_000012.flo", ".flow_000012.flo.part",
          ".flow.12x.part", "..part"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(isTemporaryFileName(other));
    }
}

TEST(AtomicFile, CompleteWriteReplacesTheTargetAndLeavesNothingElse)
{
    std::string dir = testRunDir();
    std::string target = dir + "/f.bin";
    std::ofstream(target) << "older";
    std::string error;
    ASSERT_TRUE(writeBytesAtomically(target, bytesOf("newer bytes"), error))
        << error;
    EXPECT_EQ(readFileBytes(target), "newer bytes");
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"f.bin"});
}

// Each way a write can fail: the writer says so, throws, or the rename
// cannot put the file in place (a folder of that name is in the way).
TEST(AtomicFile, FailedWriteKeepsTheTargetAndRemovesTheTemporaryFile)
{
    std::string dir = testRunDir();
    std::string target = dir + "/f.bin";
    std::ofstream(target) << "older";
    auto halfThenFail = [](const std::string& path) {
        std::ofstream(path) << "half of it";
        return false;
    };
    auto halfThenThrow = [](const std::string& path) -> bool {
        std::ofstream(path) << "half of it";
        throw std::runtime_error("encoder failed");
    };
    for (const auto& write :
         std::vector<std::function<bool(const std::string&)>>{halfThenFail,
                                                              halfThenThrow}) {
        std::string error;
        EXPECT_FALSE(writeFileAtomically(target, write, error));
        EXPECT_EQ(error.rfind("cannot write " + target, 0), 0u) << error;
        EXPECT_EQ(readFileBytes(target), "older");
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{"f.bin"});
    }

    std::string folder = dir + "/taken";
    fs::create_directories(folder + "/inside");
    std::string error;
    EXPECT_FALSE(writeBytesAtomically(folder, bytesOf("bytes"), error));
    EXPECT_EQ(error.rfind("cannot write " + folder + ": ", 0), 0u) << error;
    EXPECT_TRUE(fs::is_directory(folder + "/inside"));
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"f.bin", "taken"}));
}

// Bytes that do not all reach the disk (the file size limit is hit) are a
// failed write: the target keeps its earlier contents.
TEST(AtomicFile, WriteBeyondTheFileSizeLimitFails)
{
    // Below the size of the bytes written, above the earlier file.
    constexpr rlim_t kLimit = 4096;
    std::string dir = testRunDir();
    std::string target = dir + "/f.bin";
    std::ofstream(target) << "older";
    std::vector<unsigned char> big(3 * kLimit, 'x');

    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{kLimit, kLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        bool written = writeBytesAtomically(target, big, error);
        _exit(!written && error.find("File too large") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the write was not reported as failed with its reason";
    EXPECT_EQ(readFileBytes(target), "older");
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"f.bin"});
}
