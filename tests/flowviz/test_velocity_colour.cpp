#include "velocity_colour.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

#include <cmath>
#include <iterator>
#include <limits>

using namespace ulk::viz;

struct ColourCase {
    float vx, vy;
    double k;
    Pixel3 bgr;
};

// Prints colours as (blue, green, red) in failure messages.
void PrintTo(const Pixel3& p, std::ostream* os)
{
    *os << "(" << int(p.c0) << ", " << int(p.c1) << ", " << int(p.c2) << ")";
}

void PrintTo(const ColourCase& c, std::ostream* os)
{
    *os << "vx " << c.vx << " vy " << c.vy << " k " << c.k;
}

class VelocityColourCase : public ::testing::TestWithParam<ColourCase> {};

// Known colours, including the ones where the float constants decide the
// last unit (green 254 for pure right motion, the 360 degree wrap).
TEST_P(VelocityColourCase, GivesTheExactColour)
{
    const ColourCase c = GetParam();
    SCOPED_TRACE(::testing::Message()
                 << "vx " << c.vx << " vy " << c.vy << " k " << c.k);
    EXPECT_EQ(velocityColour(c.vx, c.vy, c.k), c.bgr);
}

INSTANTIATE_TEST_SUITE_P(
    KnownColours, VelocityColourCase,
    ::testing::Values(ColourCase{0, 0, 0.08, {0, 0, 0}},
                      ColourCase{0, 0, 0.04, {0, 0, 0}},
                      ColourCase{3, 0, 0.08, {255, 254, 6}},
                      ColourCase{-3, 0, 0.08, {6, 6, 255}},
                      ColourCase{0, 3, 0.08, {255, 6, 130}},
                      ColourCase{0, -3, 0.08, {6, 255, 130}},
                      ColourCase{1, 1, 0.08, {75, 18, 0}},
                      ColourCase{-1, -1, 0.08, {0, 56, 75}},
                      ColourCase{2, 0, 0.08, {139, 139, 0}},
                      ColourCase{2, 0, 0.04, {75, 75, 0}},
                      ColourCase{5, 0, 0.08, {255, 254, 185}},
                      ColourCase{100, 0, 0.08, {255, 255, 255}}));

class VelocityColourNonFinite
    : public ::testing::TestWithParam<std::pair<float, float>> {};

TEST_P(VelocityColourNonFinite, IsBlack)
{
    const auto [vx, vy] = GetParam();
    SCOPED_TRACE(::testing::Message() << "vx " << vx << " vy " << vy);
    EXPECT_EQ(velocityColour(vx, vy, kColourFactorSingle), Pixel3{});
    EXPECT_EQ(velocityColour(vx, vy, kColourFactorSum), Pixel3{});
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    NanAndInfinity, VelocityColourNonFinite,
    ::testing::Values(std::make_pair(kNaN, 0.0f), std::make_pair(0.0f, kNaN),
                      std::make_pair(kInf, 0.0f), std::make_pair(-kInf, 1.0f),
                      std::make_pair(2.0f, -kInf), std::make_pair(kInf, kInf)));

TEST(VelocityColour, HugeFiniteSpeedIsWhite)
{
    // The squared speed overflows the float; the colour must still be set.
    EXPECT_EQ(velocityColour(1e30f, -1e30f, kColourFactorSingle),
              (Pixel3{255, 255, 255}));
}

TEST(VelocityColour, ZeroOfEitherSignIsBlack)
{
    // The rendering writes black for zero motion without computing the
    // colour; the full computation must agree for every sign of the zeros.
    for (float vx : {0.0f, -0.0f})
        for (float vy : {0.0f, -0.0f})
            for (double k : {kColourFactorSingle, kColourFactorSum}) {
                SCOPED_TRACE(::testing::Message()
                             << "vx " << std::signbit(vx) << " vy "
                             << std::signbit(vy) << " k " << k);
                EXPECT_EQ(velocityColour(vx, vy, k), Pixel3{});
            }
}

TEST(VelocityColour, RenderWritesEveryPixelFromItsOwnElement)
{
    // A 4 x 3 field where each element has a different velocity; every
    // pixel must get the colour of the element at the same (x, y).
    CvMat* velx = cvCreateMat(3, 4, CV_32FC1);
    CvMat* vely = cvCreateMat(3, 4, CV_32FC1);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            CV_MAT_ELEM(*velx, float, y, x) = static_cast<float>(x - 1);
            CV_MAT_ELEM(*vely, float, y, x) = static_cast<float>(2 * y - 2);
        }
    }
    ImageHolder result;
    ASSERT_TRUE(result.create(4, 3, IPL_DEPTH_8U, 3));
    cvSet(result.image(), cvScalarAll(77));

    renderVelocityColour(velx, vely, kColourFactorSingle, result);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            SCOPED_TRACE(::testing::Message() << "x " << x << " y " << y);
            EXPECT_EQ(result.getPixel3(x, y),
                      velocityColour(static_cast<float>(x - 1),
                                     static_cast<float>(2 * y - 2),
                                     kColourFactorSingle));
        }
    }
    // (x 1, y 1) is the zero velocity: black, not the old 77.
    EXPECT_EQ(result.getPixel3(1, 1), Pixel3{});

    cvReleaseMat(&velx);
    cvReleaseMat(&vely);
}

TEST(VelocityColour, RenderOfRunsGivesEveryPixelItsOwnColour)
{
    // Runs of equal velocities, and neighbours that differ only in the sign
    // of a zero, in one component, or by being NaN: a colour taken over
    // from the pixel before must be that pixel's own.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float row[][2] = {
        {2.5f, 1.0f},   {2.5f, 1.0f},  {2.5f, -1.0f},  {2.5f, -1.0f},
        {-3.0f, -0.0f}, {-3.0f, 0.0f}, {-3.0f, 0.0f},  {-0.0f, 4.0f},
        {0.0f, 4.0f},   {0.0f, 0.0f},  {0.0f, 4.0f},   {nan, 4.0f},
        {nan, 4.0f},    {0.0f, 4.0f},  {1e-30f, 4.0f}, {1e-30f, 4.0f}};
    const int cols = int(std::size(row));
    cv::Mat vx(1, cols, CV_32FC1), vy(1, cols, CV_32FC1);
    for (int x = 0; x < cols; ++x) {
        vx.at<float>(0, x) = row[x][0];
        vy.at<float>(0, x) = row[x][1];
    }
    CvMat velx = cvMat(vx);
    CvMat vely = cvMat(vy);
    ImageHolder result;
    ASSERT_TRUE(result.create(cols, 1, IPL_DEPTH_8U, 3));
    renderVelocityColour(&velx, &vely, kColourFactorSingle, result);
    for (int x = 0; x < cols; ++x) {
        SCOPED_TRACE(::testing::Message() << "x " << x);
        EXPECT_EQ(result.getPixel3(x, 0),
                  velocityColour(row[x][0], row[x][1], kColourFactorSingle));
    }
}

TEST(VelocityColour, RenderWritesOnlyWhereThePictureHasPixels)
{
    // Maps larger than the picture colour the picture's pixels only; a
    // picture of one channel is left as it is.
    cv::Mat vx(6, 9, CV_32FC1), vy(6, 9, CV_32FC1);
    cv::randu(vx, -4.0, 4.0);
    cv::randu(vy, -4.0, 4.0);
    CvMat velx = cvMat(vx);
    CvMat vely = cvMat(vy);
    ImageHolder small;
    ASSERT_TRUE(small.create(5, 4, IPL_DEPTH_8U, 3));
    renderVelocityColour(&velx, &vely, kColourFactorSingle, small);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(small.getPixel3(x, y),
                      velocityColour(vx.at<float>(y, x), vy.at<float>(y, x),
                                     kColourFactorSingle))
                << "x " << x << " y " << y;
    ImageHolder grey;
    ASSERT_TRUE(grey.create(9, 6, IPL_DEPTH_8U, 1));
    cvSet(grey.image(), cvScalarAll(77));
    renderVelocityColour(&velx, &vely, kColourFactorSingle, grey);
    EXPECT_EQ(cv::countNonZero(cv::cvarrToMat(grey.image()) != 77), 0);
}

TEST(VelocityColour, RenderOnEveryThreadCountGivesTheSameBytes)
{
    // Random velocities of both signs, with still stretches, over a frame
    // large enough for the rows to be split among threads.
    constexpr int kRows = 240;
    constexpr int kCols = 320;
    cv::RNG rng(7);
    cv::Mat vx(kRows, kCols, CV_32FC1), vy(kRows, kCols, CV_32FC1);
    rng.fill(vx, cv::RNG::UNIFORM, -6.0, 6.0);
    rng.fill(vy, cv::RNG::UNIFORM, -6.0, 6.0);
    vx.rowRange(0, 40).setTo(0.0f);
    vy.rowRange(0, 40).setTo(0.0f);
    CvMat velx = cvMat(vx);
    CvMat vely = cvMat(vy);

    const int savedThreads = cv::getNumThreads();
    for (int threads : {1, 2, 4}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        cv::setNumThreads(threads);
        ImageHolder result;
        ASSERT_TRUE(result.create(kCols, kRows, IPL_DEPTH_8U, 3));
        cvSet(result.image(), cvScalarAll(77));
        renderVelocityColour(&velx, &vely, kColourFactorSum, result);
        int wrong = 0;
        for (int y = 0; y < kRows; ++y)
            for (int x = 0; x < kCols; ++x)
                wrong += result.getPixel3(x, y) !=
                         velocityColour(vx.at<float>(y, x), vy.at<float>(y, x),
                                        kColourFactorSum);
        EXPECT_EQ(wrong, 0);
    }
    cv::setNumThreads(savedThreads);
}
