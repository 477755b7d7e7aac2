#include "flow_metrics.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/video.hpp>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

using namespace ulk::bench;

using flowmetrics::compareFlow;
using flowmetrics::FlowError;
using flowmetrics::makeShiftedPair;
using flowmetrics::readFlo;

namespace {

// Bytes of a .flo file with this header and these floats after it.
std::vector<char> floBytes(float tag, std::int32_t width, std::int32_t height,
                           const std::vector<float>& values)
{
    std::vector<char> bytes(12 + values.size() * 4);
    std::memcpy(bytes.data(), &tag, 4);
    std::memcpy(bytes.data() + 4, &width, 4);
    std::memcpy(bytes.data() + 8, &height, 4);
    if (!values.empty())
        std::memcpy(bytes.data() + 12, values.data(), values.size() * 4);
    return bytes;
}

std::string writeFile(const std::string& dir, const std::string& name,
                      const std::vector<char>& bytes)
{
    const std::string path = dir + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

// A field holding (u, v) everywhere.
cv::Mat constantFlow(cv::Size size, float u, float v)
{
    return cv::Mat(size, CV_32FC2, cv::Scalar(u, v));
}

// A float as a name: shortest %g form with "m" for a minus sign, "p" for
// the decimal point and no exponent sign ("-1.5e+09" becomes "m1p5e09").
std::string numberName(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", double(value));
    std::string name;
    for (const char* c = text; *c; ++c) {
        if (*c == '-')
            name += 'm';
        else if (*c == '.')
            name += 'p';
        else if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
    }
    return name;
}

} // namespace

// ---------------------------------------------------------------------------
// .flo reading

TEST(FloFile, ReadsRowMajorInterleavedComponents)
{
    // 3 columns, 2 rows; pixel (x, y) holds u = 10y + x, v = -u - 0.5.
    std::vector<float> values;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            values.push_back(float(10 * y + x));
            values.push_back(-float(10 * y + x) - 0.5f);
        }
    const std::string dir = testTempDir("flo_layout");
    const std::string path =
        writeFile(dir, "f.flo", floBytes(202021.25f, 3, 2, values));

    std::string error;
    const cv::Mat flow = readFlo(path, &error);
    ASSERT_FALSE(flow.empty()) << error;
    EXPECT_EQ(flow.type(), CV_32FC2);
    ASSERT_EQ(flow.cols, 3);
    ASSERT_EQ(flow.rows, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            SCOPED_TRACE("x " + std::to_string(x) + " y " + std::to_string(y));
            EXPECT_EQ(flow.at<cv::Vec2f>(y, x)[0], float(10 * y + x));
            EXPECT_EQ(flow.at<cv::Vec2f>(y, x)[1], -float(10 * y + x) - 0.5f);
        }
}

TEST(FloFile, ReadsWhatOpenCvWrites)
{
    cv::Mat written(7, 13, CV_32FC2);
    cv::RNG rng(3);
    rng.fill(written, cv::RNG::UNIFORM, -40.0, 40.0);
    written.at<cv::Vec2f>(4, 11) = cv::Vec2f(1e10f, 1e10f);
    const std::string path = testTempDir("flo_opencv") + "/f.flo";
    ASSERT_TRUE(cv::writeOpticalFlow(path, written));

    std::string error;
    const cv::Mat flow = readFlo(path, &error);
    ASSERT_FALSE(flow.empty()) << error;
    ASSERT_EQ(flow.size(), written.size());
    EXPECT_EQ(cv::norm(flow, written, cv::NORM_INF), 0.0);
}

struct BadFlo {
    const char* what;
    std::vector<char> bytes;
};

void PrintTo(const BadFlo& bad, std::ostream* os)
{
    *os << bad.what << " (" << bad.bytes.size() << " bytes)";
}

class FloRejects : public testing::TestWithParam<BadFlo> {};

TEST_P(FloRejects, MalformedFileGivesNoFieldAndAReason)
{
    const BadFlo& bad = GetParam();
    SCOPED_TRACE(bad.what);
    // Each case has its own folder: ctest runs the cases in parallel.
    const std::string dir = testTempDir(
        std::string("flo_bad/") +
        testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string path = writeFile(dir, "bad.flo", bad.bytes);
    std::string error;
    EXPECT_TRUE(readFlo(path, &error).empty());
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

const std::vector<float> kTwoPixels = {1, 2, 3, 4};
std::vector<char> kOneByteShort()
{
    std::vector<char> b = floBytes(202021.25f, 2, 1, kTwoPixels);
    b.pop_back();
    return b;
}
std::vector<char> kOneByteLong()
{
    std::vector<char> b = floBytes(202021.25f, 2, 1, kTwoPixels);
    b.push_back(0);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    FloFile, FloRejects,
    testing::Values(
        BadFlo{"empty file", {}},
        BadFlo{"header cut short", std::vector<char>(8, 0)},
        BadFlo{"wrong tag", floBytes(202021.0f, 2, 1, kTwoPixels)},
        BadFlo{"zero width", floBytes(202021.25f, 0, 1, {})},
        BadFlo{"negative height", floBytes(202021.25f, 2, -1, kTwoPixels)},
        BadFlo{"oversized side", floBytes(202021.25f, 1 << 20, 1, {})},
        BadFlo{"data one byte short", kOneByteShort()},
        BadFlo{"data one byte long", kOneByteLong()},
        BadFlo{"header larger than the data",
               floBytes(202021.25f, 1, 3, kTwoPixels)}),
    [](const testing::TestParamInfo<BadFlo>& info) {
        return paramName(info.param.what);
    });

TEST(FloFile, MissingFileGivesNoField)
{
    std::string error;
    EXPECT_TRUE(
        readFlo(testTempDir("flo_missing") + "/none.flo", &error).empty());
    EXPECT_FALSE(error.empty());
}

TEST(FloFile, AgreesWithOpenCvOnSharedGroundTruth)
{
    const std::string shared = sharedDataDir();
    const std::filesystem::path root =
        std::filesystem::path(shared) / "middlebury";
    if (shared.empty() || !std::filesystem::is_directory(root))
        GTEST_SKIP() << "no shared Middlebury data";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        const std::string path = (entry.path() / "flow10.flo").string();
        if (!std::filesystem::exists(path))
            continue;
        SCOPED_TRACE(path);
        ++files;
        std::string error;
        const cv::Mat mine = readFlo(path, &error);
        const cv::Mat theirs = cv::readOpticalFlow(path);
        ASSERT_FALSE(mine.empty()) << error;
        ASSERT_EQ(mine.size(), theirs.size());
        EXPECT_EQ(std::memcmp(mine.data, theirs.data, mine.total() * 8), 0);
    }
    EXPECT_GT(files, 0);
}

// ---------------------------------------------------------------------------
// Endpoint error

TEST(EndpointError, MixedFieldGivesHandComputedFigures)
{
    // Truth (1, -2) on 8 pixels, one of them unknown.
    cv::Mat truth = constantFlow(cv::Size(4, 2), 1.0f, -2.0f);
    truth.at<cv::Vec2f>(1, 3) = cv::Vec2f(1e10f, 1e10f);
    cv::Mat estimate = truth.clone();
    const cv::Vec2f t(1.0f, -2.0f);
    estimate.at<cv::Vec2f>(0, 0) = t;                          // 0
    estimate.at<cv::Vec2f>(0, 1) = t + cv::Vec2f(3.0f, 4.0f);  // 5, bad
    estimate.at<cv::Vec2f>(0, 2) = t + cv::Vec2f(3.0f, 0.0f);  // 3, not bad
    estimate.at<cv::Vec2f>(0, 3) = t + cv::Vec2f(0.0f, -3.5f); // 3.5, bad
    estimate.at<cv::Vec2f>(1, 0) = t + cv::Vec2f(0.6f, -0.8f); // 1
    estimate.at<cv::Vec2f>(1, 1) = t;                          // 0
    estimate.at<cv::Vec2f>(1, 2) = t;                          // 0
    estimate.at<cv::Vec2f>(1, 3) = cv::Vec2f(500.0f, 500.0f);  // excluded

    const FlowError e = compareFlow(estimate, truth);
    EXPECT_EQ(e.knownPixels, 7);
    EXPECT_NEAR(e.averageEndpointError, 12.5 / 7.0, 1e-6);
    EXPECT_NEAR(e.badShare, 2.0 / 7.0, 1e-12);
}

struct Offset {
    float du;
    float dv;
    bool bad;
};

void PrintTo(const Offset& o, std::ostream* os)
{
    *os << "offset " << o.du << ", " << o.dv << (o.bad ? ", bad" : ", not bad");
}

class BadPixelThreshold : public testing::TestWithParam<Offset> {};

TEST_P(BadPixelThreshold, OnlyErrorsAboveThreePixelsCount)
{
    const Offset o = GetParam();
    SCOPED_TRACE("offset " + std::to_string(o.du) + ", " +
                 std::to_string(o.dv));
    const cv::Mat truth = constantFlow(cv::Size(3, 3), -2.0f, 7.0f);
    const cv::Mat estimate =
        constantFlow(cv::Size(3, 3), -2.0f + o.du, 7.0f + o.dv);
    const FlowError e = compareFlow(estimate, truth);
    EXPECT_NEAR(e.averageEndpointError, std::hypot(o.du, o.dv), 1e-5);
    EXPECT_EQ(e.badShare, o.bad ? 1.0 : 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    EndpointError, BadPixelThreshold,
    testing::Values(Offset{3.0f, 0.0f, false}, Offset{0.0f, -3.0f, false},
                    Offset{-3.01f, 0.0f, true}, Offset{2.1f, 2.1f, false},
                    Offset{2.2f, -2.2f, true}, Offset{0.0f, 0.0f, false}),
    [](const testing::TestParamInfo<Offset>& info) {
        return "du_" + numberName(info.param.du) + "_dv_" +
               numberName(info.param.dv);
    });

struct TruthValue {
    float u;
    float v;
    bool known;
};

void PrintTo(const TruthValue& tv, std::ostream* os)
{
    *os << "truth " << tv.u << ", " << tv.v
        << (tv.known ? ", known" : ", unknown");
}

class UnknownTruth : public testing::TestWithParam<TruthValue> {};

TEST_P(UnknownTruth, ComponentsAboveOneBillionAreLeftOut)
{
    const TruthValue tv = GetParam();
    SCOPED_TRACE("truth " + std::to_string(tv.u) + ", " + std::to_string(tv.v));
    // One pixel under test beside one ordinary pixel.
    cv::Mat truth = constantFlow(cv::Size(2, 1), 0.0f, 0.0f);
    truth.at<cv::Vec2f>(0, 1) = cv::Vec2f(tv.u, tv.v);
    const FlowError e =
        compareFlow(constantFlow(cv::Size(2, 1), 0.0f, 0.0f), truth);
    EXPECT_EQ(e.knownPixels, tv.known ? 2 : 1);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(EndpointError, UnknownTruth,
                         testing::Values(TruthValue{1e9f, 0.0f, true},
                                         TruthValue{0.0f, -1e9f, true},
                                         TruthValue{1.01e9f, 0.0f, false},
                                         TruthValue{0.0f, 1e10f, false},
                                         TruthValue{-2e9f, 0.0f, false},
                                         TruthValue{kNaN, 0.0f, false},
                                         TruthValue{0.0f, kInf, false}),
                         [](const testing::TestParamInfo<TruthValue>& info) {
                             return "u_" + numberName(info.param.u) + "_v_" +
                                    numberName(info.param.v);
                         });

TEST(EndpointError, NoKnownPixelGivesNoFigures)
{
    const cv::Mat truth = constantFlow(cv::Size(5, 4), 1e10f, 1e10f);
    const FlowError e =
        compareFlow(constantFlow(cv::Size(5, 4), 0.0f, 0.0f), truth);
    EXPECT_EQ(e.knownPixels, 0);
    EXPECT_TRUE(std::isnan(e.averageEndpointError));
    EXPECT_TRUE(std::isnan(e.badShare));
}

TEST(EndpointError, NonFiniteEstimateCountsAsInfinitelyWrong)
{
    const cv::Mat truth = constantFlow(cv::Size(4, 1), 1.0f, 1.0f);
    cv::Mat estimate = truth.clone();
    estimate.at<cv::Vec2f>(0, 2) = cv::Vec2f(kNaN, 1.0f);
    const FlowError e = compareFlow(estimate, truth);
    EXPECT_TRUE(std::isinf(e.averageEndpointError));
    EXPECT_EQ(e.badShare, 0.25);
}

TEST(EndpointError, RejectsFieldsOfOtherSizeOrType)
{
    const cv::Mat truth = constantFlow(cv::Size(4, 3), 0.0f, 0.0f);
    EXPECT_THROW(compareFlow(constantFlow(cv::Size(3, 4), 0.0f, 0.0f), truth),
                 cv::Exception);
    EXPECT_THROW(compareFlow(cv::Mat::zeros(3, 4, CV_32FC1), truth),
                 cv::Exception);
}

// ---------------------------------------------------------------------------
// Shifted pairs

class ShiftedPairs : public testing::TestWithParam<cv::Point> {
  protected:
    static constexpr int kWidth = 96;
    static constexpr int kHeight = 64;
};

TEST_P(ShiftedPairs, NewerFrameShowsOlderMovedByTheTruth)
{
    const cv::Point s = GetParam();
    SCOPED_TRACE("shift " + std::to_string(s.x) + ", " + std::to_string(s.y));
    const auto pair = makeShiftedPair(cv::Size(kWidth, kHeight), s.x, s.y);
    ASSERT_EQ(pair.older.type(), CV_8UC1);
    ASSERT_EQ(pair.newer.size(), pair.older.size());

    // A flat or repeated texture would make the check below vacuous.
    cv::Scalar mean, stddev;
    cv::meanStdDev(pair.older, mean, stddev);
    EXPECT_GT(stddev[0], 20.0);
    EXPECT_GT(cv::norm(pair.older, pair.newer, cv::NORM_L1), 0.0);

    long long known = 0;
    long long mismatches = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const cv::Vec2f t = pair.truth.at<cv::Vec2f>(y, x);
            if (!flowmetrics::isKnownFlow(t[0], t[1]))
                continue;
            ++known;
            EXPECT_EQ(t, cv::Vec2f(float(s.x), float(s.y)));
            if (pair.newer.at<uchar>(y + s.y, x + s.x) !=
                pair.older.at<uchar>(y, x))
                ++mismatches;
        }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(known,
              (kWidth - 2LL * std::abs(s.x)) * (kHeight - 2LL * std::abs(s.y)));
}

TEST_P(ShiftedPairs, ZeroFlowErrsByTheShiftLength)
{
    const cv::Point s = GetParam();
    SCOPED_TRACE("shift " + std::to_string(s.x) + ", " + std::to_string(s.y));
    const auto pair = makeShiftedPair(cv::Size(kWidth, kHeight), s.x, s.y);
    const double length = std::hypot(s.x, s.y);

    const FlowError still =
        compareFlow(constantFlow(pair.truth.size(), 0.0f, 0.0f), pair.truth);
    EXPECT_NEAR(still.averageEndpointError, length, 1e-9);
    EXPECT_EQ(still.badShare, length > 3.0 ? 1.0 : 0.0);

    const FlowError exact = compareFlow(
        constantFlow(pair.truth.size(), float(s.x), float(s.y)), pair.truth);
    EXPECT_EQ(exact.averageEndpointError, 0.0);
    EXPECT_EQ(exact.badShare, 0.0);
}

// OpenCV's own flow convention (older to newer, x right, y down) must agree
// with the truth's sign; a flipped sign would give an error of twice the
// shift.
TEST_P(ShiftedPairs, OpenCvFlowRecoversTheShift)
{
    const cv::Point s = GetParam();
    SCOPED_TRACE("shift " + std::to_string(s.x) + ", " + std::to_string(s.y));
    const auto pair = makeShiftedPair(cv::Size(160, 120), s.x, s.y);
    cv::Mat flow;
    cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)
        ->calc(pair.older, pair.newer, flow);
    const FlowError e = compareFlow(flow, pair.truth);
    EXPECT_LT(e.averageEndpointError, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Shifts, ShiftedPairs,
                         testing::Values(cv::Point(2, 0), cv::Point(0, 3),
                                         cv::Point(-4, 1), cv::Point(5, 5),
                                         cv::Point(0, -6)));
