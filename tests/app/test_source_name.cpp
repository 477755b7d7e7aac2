// Which file of_ulk opens for a name: the name as given when it exists,
// the lower-cased one only when it does not.
#include "source_name.h"
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace ulk::viewer;

namespace fs = std::filesystem;

TEST(SourceName, LowerCasesOnlyAsciiCapitals)
{
    EXPECT_EQ(asciiLowerCase("Dir/CLIP.Avi"), "dir/clip.avi");
    EXPECT_EQ(asciiLowerCase("M\xc3\x89\xff@[`{Z"), "m\xc3\x89\xff@[`{z");
}

TEST(SourceName, FindsTheExtensionInAnyCase)
{
    EXPECT_EQ(findAviExtension("clip.avi"), 4u);
    EXPECT_EQ(findAviExtension("Clip.AvI"), 4u);
    EXPECT_EQ(findAviExtension("A.AVI.avi"), 1u);
    EXPECT_EQ(findAviExtension("clip.mpg"), std::string::npos);
}

struct OpenCase {
    const char* name;
    std::vector<std::string> files; // made in the run's folder
    std::string given;
    std::string opened;
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.name;
}

class SourceNameOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(SourceNameOpen, OpensTheGivenNameFirst)
{
    const OpenCase& c = GetParam();
    // Names relative to the run's folder, whose own path may hold capitals.
    const fs::path before = fs::current_path();
    fs::current_path(testRunDir());
    for (const std::string& file : c.files) {
        if (fs::path(file).has_parent_path())
            fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file) << "x";
    }
    EXPECT_EQ(openableSourceName(c.given), c.opened);
    fs::current_path(before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SourceNameOpen,
    ::testing::Values(
        OpenCase{"capitals in the folder",
                 {"Clips/Street.avi"},
                 "Clips/Street.avi",
                 "Clips/Street.avi"},
        OpenCase{
            "only the lower-cased name", {"clip.avi"}, "CLIP.AVI", "clip.avi"},
        OpenCase{
            "both names", {"Clip.avi", "clip.avi"}, "Clip.avi", "Clip.avi"},
        OpenCase{
            "neither name", {"other.avi"}, "Sub/MOVIE.AVI", "sub/movie.avi"}),
    [](const ::testing::TestParamInfo<OpenCase>& info) {
        return paramName(info.param.name);
    });
