// The recorded video: kept with every frame written, removed when it got
// none, and never made when it cannot be written.
#include "output_video.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

using namespace ulk::viewer;

namespace fs = std::filesystem;

namespace {

const cv::Size kSize(64, 48);

} // namespace

TEST(OutputVideo, KeepsEveryFrameWritten)
{
    const std::string name = testRunDir() + "/out.avi";
    OutputVideo video;
    ASSERT_TRUE(video.open(name, 25.0, kSize));
    for (int i = 0; i < 3; ++i)
        video.write(cv::Mat(kSize, CV_8UC3, cv::Scalar::all(40 * i)));
    video.release();
    EXPECT_FALSE(video.isOpened());
    EXPECT_EQ(int(readVideoFrames(name).size()), 3);
}

TEST(OutputVideo, VideoWithoutFramesIsRemoved)
{
    const std::string dir = testRunDir();
    {
        OutputVideo released;
        ASSERT_TRUE(released.open(dir + "/released.avi", 25.0, kSize));
        EXPECT_TRUE(fs::exists(dir + "/released.avi"));
        released.release();
        EXPECT_FALSE(fs::exists(dir + "/released.avi"));

        OutputVideo destroyed;
        ASSERT_TRUE(destroyed.open(dir + "/destroyed.avi", 25.0, kSize));
    }
    EXPECT_FALSE(fs::exists(dir + "/destroyed.avi"));
}

TEST(OutputVideo, UnwritableNameIsRefusedAndLeftAlone)
{
    const std::string dir = testRunDir();
    fs::create_directory(dir + "/taken.avi");
    OutputVideo video;
    EXPECT_FALSE(video.open(dir + "/taken.avi", 25.0, kSize));
    EXPECT_FALSE(video.isOpened());
    video.release();
    EXPECT_TRUE(fs::is_directory(dir + "/taken.avi"));
    EXPECT_FALSE(video.open(dir + "/no/such/folder/out.avi", 25.0, kSize));
}

// The header's count: the main header's, or that of the OpenDML list that
// a file past its first gigabyte has (a JUNK chunk holds its place before).
TEST(OutputVideo, ReadsTheFrameCountOfTheHeader)
{
    const auto word = [](std::uint32_t v) {
        return std::string(reinterpret_cast<const char*>(&v), 4);
    };
    const auto file = [&](const std::string& odmlTag) {
        const std::string avih = "avih" + word(56) + std::string(16, '\0') +
                                 word(690) + std::string(36, '\0');
        const std::string odml =
            odmlTag + word(16) + "odmldmlh" + word(4) + word(2600);
        const std::string path = testRunDir() + "/h.avi";
        std::ofstream(path, std::ios::binary)
            << "RIFF" << word(0) << "AVI LIST"
            << word(4 + avih.size() + odml.size()) << "hdrl" << avih << odml;
        return path;
    };
    EXPECT_EQ(aviDeclaredFrames(file("JUNK")), 690);
    EXPECT_EQ(aviDeclaredFrames(file("LIST")), 2600);
    EXPECT_EQ(aviDeclaredFrames(testRunDir() + "/none.avi"), -1);
}
