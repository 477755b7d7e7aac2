// Tests of the .flo reader and writer: files equal OpenCV's byte for byte,
// and every damaged file is refused with its reason, before any allocation.
#include "support.h"

#include "flo_file.h"

#include <gtest/gtest.h>
#include <opencv2/video.hpp>

#include <cstdint>
#include <fstream>
#include <string>

using namespace ulk::viz;

namespace {

// A field whose every value is distinct, with a negative zero and a NaN,
// so that any reordering or conversion shows.
cv::Mat distinctField(int rows, int cols)
{
    cv::Mat flow(rows, cols, CV_32FC2);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            flow.at<cv::Vec2f>(y, x) =
                cv::Vec2f(0.25f * x - 3.5f, -0.125f * y + 0.001f * x);
    flow.at<cv::Vec2f>(0, 0) = cv::Vec2f(-0.0f, NAN);
    return flow;
}

bool sameBits(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return false;
    for (int y = 0; y < a.rows; ++y)
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0)
            return false;
    return true;
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string header(std::int32_t width, std::int32_t height,
                   const char* tag = "PIEH")
{
    std::string bytes(tag, 4);
    bytes.append(reinterpret_cast<const char*>(&width), 4);
    bytes.append(reinterpret_cast<const char*>(&height), 4);
    return bytes;
}

} // namespace

TEST(FloFile, WritesOpenCvsBytesAndReadsOpenCvsFiles)
{
    std::string dir = testTempDir("flo_file_round_trip");
    // A column range of a larger field is not continuous.
    cv::Mat wide = distinctField(7, 13);
    cv::Mat flow = wide.colRange(2, 11);
    std::string ours = dir + "/ours.flo";
    std::string theirs = dir + "/theirs.flo";
    std::string error;
    ASSERT_TRUE(writeFlowFile(ours, flow, error)) << error;
    ASSERT_TRUE(cv::writeOpticalFlow(theirs, flow));
    EXPECT_EQ(readFileBytes(ours), readFileBytes(theirs));

    cv::Mat back;
    ASSERT_TRUE(readFlowFile(theirs, back, error)) << error;
    EXPECT_TRUE(sameBits(back, flow.clone()));
    EXPECT_TRUE(sameBits(cv::readOpticalFlow(ours), flow.clone()));
}

TEST(FloFile, WriterRefusesOtherMapsAndUnwritablePaths)
{
    std::string dir = testTempDir("flo_file_write_errors");
    std::string error;
    for (const cv::Mat& map :
         {cv::Mat(), cv::Mat(4, 4, CV_32FC1), cv::Mat(4, 4, CV_64FC2),
          cv::Mat(4, 4, CV_8UC2)}) {
        SCOPED_TRACE("type " + std::to_string(map.type()));
        error.clear();
        EXPECT_FALSE(writeFlowFile(dir + "/x.flo", map, error));
        EXPECT_NE(error.find("two-channel float"), std::string::npos) << error;
    }
    EXPECT_FALSE(
        writeFlowFile(dir + "/no/such/dir/x.flo", distinctField(2, 2), error));
    EXPECT_EQ(error, "cannot write " + dir + "/no/such/dir/x.flo");
}

struct DamagedFile {
    const char* name;
    std::string bytes;
    const char* reason; // part of the error message
};

void PrintTo(const DamagedFile& c, std::ostream* os)
{
    *os << c.name;
}

class FloFileDamaged : public testing::TestWithParam<DamagedFile> {};

TEST_P(FloFileDamaged, IsRefusedWithItsReason)
{
    const DamagedFile& c = GetParam();
    std::string path =
        testTempDir("flo_file_damaged_" + paramName(c.name)) + "/damaged.flo";
    writeBytes(path, c.bytes);
    cv::Mat flow(2, 2, CV_32FC2);
    std::string error;
    EXPECT_FALSE(readFlowFile(path, flow, error));
    EXPECT_TRUE(flow.empty());
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FloFileDamaged,
    testing::Values(
        DamagedFile{"empty", "", "too short"},
        DamagedFile{"header cut", header(2, 2).substr(0, 9), "too short"},
        DamagedFile{"other tag", header(1, 1, "PIEX") + std::string(8, '\0'),
                    "no PIEH tag"},
        DamagedFile{"zero width", header(0, 3), "size of 0 x 3"},
        DamagedFile{"negative height", header(3, -1), "size of 3 x -1"},
        DamagedFile{"data cut", header(2, 2) + std::string(31, '\0'),
                    "holds 31 bytes of flow, but 2 x 2 needs 32"},
        DamagedFile{"bytes after the data", header(1, 1) + std::string(9, '\0'),
                    "holds 9 bytes"},
        DamagedFile{"huge size", header(1 << 30, 1 << 30),
                    "needs 9223372036854775808"},
        // 8 bytes times this size pass 2^64 by exactly the bytes given.
        DamagedFile{"size past 64 bits",
                    header(2147380029, 1073793636) + std::string(11936, '\0'),
                    "holds 11936 bytes of flow, but 2147380029 x 1073793636 "
                    "needs 18446744073709563552"}),
    [](const testing::TestParamInfo<DamagedFile>& info) {
        return paramName(info.param.name);
    });

TEST(FloFile, MissingFileAndFolderAreNamed)
{
    cv::Mat flow;
    std::string error;
    EXPECT_FALSE(readFlowFile("/nonexistent/x.flo", flow, error));
    EXPECT_EQ(error, "cannot open /nonexistent/x.flo");
    std::string dir = testTempDir("flo_file_folder");
    EXPECT_FALSE(readFlowFile(dir, flow, error));
    EXPECT_EQ(error, "cannot open " + dir);
}
