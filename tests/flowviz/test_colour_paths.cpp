// Every rendering path the processor has gives velocityColour's bytes:
// random velocities, edge values, velocities at the scalar code's decisions
// and whole maps. OF_ULK_COLOUR_SAMPLES sets how many random velocities
// (default 2^20; the full check is 10000000).
#include "velocity_colour.h"
#include "velocity_colour_paths.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

using namespace ulk::viz;

namespace {

struct Velocities {
    std::vector<float> x, y;
    void add(float vx, float vy)
    {
        x.push_back(vx);
        y.push_back(vy);
    }
};

// The k of the viewer, the exporter and a few that Python may pass.
const double kFactors[] = {kColourFactorSingle, kColourFactorSum, 1.0, 1e-3,
                           25.0};

// Compares colourRow on the path with velocityColour, element by element,
// and reports the first few differences.
void expectScalarBytes(ColourPath path, const Velocities& v, double k)
{
    const int n = int(v.x.size());
    std::vector<unsigned char> bgr(3 * size_t(n));
    colourRow(path, v.x.data(), v.y.data(), n, k, bgr.data());
    int wrong = 0;
    for (int i = 0; i < n; ++i) {
        const Pixel3 want = velocityColour(v.x[i], v.y[i], k);
        const Pixel3 got{bgr[3 * i], bgr[3 * i + 1], bgr[3 * i + 2]};
        if (got != want && ++wrong <= 5)
            ADD_FAILURE() << std::hexfloat << "vx " << v.x[i] << " vy "
                          << v.y[i] << " k " << k << ": got " << int(got.c0)
                          << " " << int(got.c1) << " " << int(got.c2)
                          << ", scalar " << int(want.c0) << " " << int(want.c1)
                          << " " << int(want.c2);
    }
    EXPECT_EQ(wrong, 0) << "of " << n << " with k " << k;
}

float stepUlps(float v, int steps)
{
    for (; steps > 0; --steps)
        v = std::nextafter(v, std::numeric_limits<float>::infinity());
    for (; steps < 0; ++steps)
        v = std::nextafter(v, -std::numeric_limits<float>::infinity());
    return v;
}

// The velocity of a speed and a direction and its float neighbours.
void addAround(Velocities& v, double speed, double angle)
{
    const float x = float(speed * std::cos(angle));
    const float y = float(speed * std::sin(angle));
    for (int dx = -2; dx <= 2; ++dx)
        for (int dy = -2; dy <= 2; ++dy)
            v.add(stepUlps(x, dx), stepUlps(y, dy));
}

class ColourPathTest : public ::testing::TestWithParam<ColourPath> {
  protected:
    void SetUp() override
    {
        if (!colourPathSupported(GetParam()))
            GTEST_SKIP() << colourPathName(GetParam())
                         << " is not supported here";
    }
};

TEST_P(ColourPathTest, RandomVelocitiesGiveTheScalarBytes)
{
    const char* count = std::getenv("OF_ULK_COLOUR_SAMPLES");
    const long samples = count ? std::atol(count) : 1L << 20;
    // One quarter each: any bit pattern (NaN, infinities, denormals, huge
    // and tiny values), speeds of 0 to 20 px, speeds from 1e-6 to 1e4 px,
    // and directions within 1e-6 of the 30-degree multiples.
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double pi = std::acos(-1.0);
    const long chunk = 1L << 16;
    for (long start = 0; start < samples; start += chunk) {
        Velocities v;
        for (long i = start; i < samples && i < start + chunk; ++i) {
            double speed = 20.0 * unit(rng);
            double angle = 2.0 * pi * unit(rng);
            switch (i % 4) {
            case 0: {
                const uint64_t bits = rng();
                float vx, vy;
                std::memcpy(&vx, &bits, sizeof vx);
                std::memcpy(&vy, reinterpret_cast<const char*>(&bits) + 4,
                            sizeof vy);
                v.add(vx, vy);
                continue;
            }
            case 2:
                speed = std::pow(10.0, -6.0 + 10.0 * unit(rng));
                break;
            case 3:
                angle = (pi / 6) * double(rng() % 12) +
                        1e-6 * (2.0 * unit(rng) - 1.0);
                break;
            }
            v.add(float(speed * std::cos(angle)),
                  float(speed * std::sin(angle)));
        }
        const double k = kFactors[(start / chunk) % std::size(kFactors)];
        expectScalarBytes(GetParam(), v, k);
        if (HasFailure())
            return;
    }
}

TEST_P(ColourPathTest, EdgeValuesGiveTheScalarBytes)
{
    // Every pair of these of either sign: zeros, denormals, the float
    // limits, values whose squares overflow, non-finite values, and so
    // |x| == |y| and the axes.
    const float values[] = {0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            1e-41f,
                            FLT_MIN,
                            1e-30f,
                            1e-20f,
                            1e-7f,
                            1e-3f,
                            0.5f,
                            1.0f,
                            2.9435f, // lightness near 0.5 for k 0.08
                            4.1628f, // and for k 0.04
                            10.0f,
                            1e5f,
                            1.8446743e19f, // squares near FLT_MAX
                            1e20f,
                            1e30f,
                            FLT_MAX,
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()};
    Velocities v;
    for (float a : values)
        for (float b : values)
            for (float sa : {1.0f, -1.0f})
                for (float sb : {1.0f, -1.0f})
                    v.add(sa * a, sb * b);
    // Directions at the multiples of 30 degrees (sector boundaries at the
    // odd multiples of 60 from the x axis) at a few speeds.
    const double pi = std::acos(-1.0);
    for (double speed : {0.3, 2.9435, 5.0, 12.0, 1e4})
        for (int a = 0; a < 12; ++a)
            addAround(v, speed, a * pi / 6);
    for (double k : kFactors)
        expectScalarBytes(GetParam(), v, k);
    // Lightness exactly 0.5: exp(-ln2) is 0.5, so k = ln2 / e on an exact
    // energy e.
    Velocities split;
    for (float speed : {1.0f, 2.0f, 3.0f})
        for (const auto& [vx, vy] :
             {std::pair(speed, 0.0f), std::pair(0.0f, speed),
              std::pair(-speed, 0.0f), std::pair(0.0f, -speed)}) {
            split.add(vx, vy);
            split.add(stepUlps(vx, 1), vy);
            split.add(stepUlps(vx, -1), vy);
        }
    for (float speed : {1.0f, 2.0f, 3.0f})
        expectScalarBytes(GetParam(), split,
                          std::log(2.0) / double(speed * speed));
    // k that the vector paths leave to the scalar code, and extreme ones.
    for (double k : {0.0, 5e-324, 1e-300, 1e300})
        expectScalarBytes(GetParam(), v, k);
}

TEST_P(ColourPathTest, DecisionsOfTheScalarCodeGiveItsBytes)
{
    const double pi = std::acos(-1.0);
    for (double k : {kColourFactorSingle, kColourFactorSum, 1.0}) {
        const auto speedOf = [k](double l) {
            return std::sqrt(-std::log1p(-l) / k);
        };
        Velocities v;
        // The lightness split, and speeds where m2 = 2 l (below it) or
        // m1 = 2 l - 1 (above it) crosses a byte, away from the sectors'
        // ends.
        addAround(v, speedOf(0.5), 0.1);
        for (int j = 1; j < 255; ++j)
            for (double l : {j / 510.0, (1.0 + j / 255.0) / 2.0})
                for (int a = 0; a < 6; ++a)
                    addAround(v, speedOf(l), a * pi / 3 + 0.3);
        // Directions where the mixed value crosses each byte in each
        // sector, at lightness below and above the split.
        for (double l : {0.2, 0.45, 0.7, 0.95}) {
            const double m2 = l <= 0.5 ? 2 * l : 1.0;
            const double m1 = l <= 0.5 ? 0.0 : 2 * l - 1;
            for (int sector = 0; sector < 6; ++sector)
                for (int j = 0; j <= 255; ++j) {
                    const double g = (j / 255.0 - m1) / (m2 - m1);
                    if (g < 0.0 || g > 1.0)
                        continue;
                    const double h = sector + (sector % 2 ? 1.0 - g : g);
                    addAround(v, speedOf(l), h * pi / 3 - pi);
                }
        }
        expectScalarBytes(GetParam(), v, k);
    }
}

TEST_P(ColourPathTest, RenderedMapsGiveTheScalarBytes)
{
    // Odd widths, rows further apart than their width, and pictures
    // narrower, shorter or wider than the maps.
    cv::RNG rng(11);
    cv::Mat bigX(9, 40, CV_32FC1), bigY(9, 40, CV_32FC1);
    rng.fill(bigX, cv::RNG::UNIFORM, -8.0, 8.0);
    rng.fill(bigY, cv::RNG::UNIFORM, -8.0, 8.0);
    bigX.at<float>(2, 3) = std::numeric_limits<float>::quiet_NaN();
    bigY.colRange(10, 20).setTo(0.0f);
    for (int width : {1, 3, 5, 7, 9, 15, 17, 33}) {
        for (const cv::Size picture :
             {cv::Size(width, 7), cv::Size(width - 1, 7),
              cv::Size(width + 5, 9), cv::Size(width, 4)}) {
            if (picture.width == 0)
                continue;
            SCOPED_TRACE(::testing::Message()
                         << "map " << width << " x 7, picture " << picture.width
                         << " x " << picture.height);
            // Rows of 40 floats apart, starting off the first column.
            CvMat velx = cvMat(bigX(cv::Rect(1, 1, width, 7)));
            CvMat vely = cvMat(bigY(cv::Rect(1, 1, width, 7)));
            ImageHolder want, got;
            ASSERT_TRUE(
                want.create(picture.width, picture.height, IPL_DEPTH_8U, 3));
            ASSERT_TRUE(
                got.create(picture.width, picture.height, IPL_DEPTH_8U, 3));
            cvSet(want.image(), cvScalarAll(77));
            cvSet(got.image(), cvScalarAll(77));
            renderVelocityColourOn(ColourPath::Scalar, &velx, &vely,
                                   kColourFactorSum, want);
            renderVelocityColourOn(GetParam(), &velx, &vely, kColourFactorSum,
                                   got);
            EXPECT_EQ(cv::norm(cv::cvarrToMat(want.image()),
                               cv::cvarrToMat(got.image()), cv::NORM_INF),
                      0.0);
            for (int y = 0; y < 7 && y < picture.height; ++y)
                for (int x = 0; x < width && x < picture.width; ++x)
                    ASSERT_EQ(got.getPixel3(x, y),
                              velocityColour(velx.data.fl[y * 40 + x],
                                             vely.data.fl[y * 40 + x],
                                             kColourFactorSum))
                        << "x " << x << " y " << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ColourPathTest,
                         ::testing::ValuesIn(kColourPaths),
                         [](const ::testing::TestParamInfo<ColourPath>& info) {
                             return std::string(colourPathName(info.param));
                         });

TEST(ColourPaths, TheDefaultPathIsSupported)
{
    EXPECT_TRUE(colourPathSupported(ColourPath::Scalar));
    EXPECT_TRUE(colourPathSupported(fastestColourPath()));
}

} // namespace
