// Tests of the colour-wheel coding and its legend.
#include "support.h"

#include "flow_wheel.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>

using namespace ulk::viz;

namespace {

// Bytes are compared as BGR with a tolerance for interpolated colours.
void expectColour(cv::Vec3b got, cv::Vec3b want, int tolerance)
{
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(got[c], want[c], tolerance)
            << "channel " << c << " of " << got << ", want " << want;
}

} // namespace

TEST(Wheel, PrimaryColoursSitAtTheStretchEnds)
{
    // Index: where each stretch of the 15/6/4/11/13/6 wheel begins.
    struct Primary {
        int index;
        cv::Vec3b bgr;
    };
    for (Primary p : {Primary{0, {0, 0, 255}}, Primary{15, {0, 255, 255}},
                      Primary{21, {0, 255, 0}}, Primary{25, {255, 255, 0}},
                      Primary{36, {255, 0, 0}}, Primary{49, {255, 0, 255}}}) {
        SCOPED_TRACE("wheel colour " + std::to_string(p.index));
        EXPECT_EQ(wheelColour(p.index), p.bgr);
    }
    // The last colour closes the circle just short of red.
    cv::Vec3b last = wheelColour(kWheelColours - 1);
    EXPECT_EQ(last[2], 255);
    EXPECT_EQ(last[1], 0);
    EXPECT_GT(last[0], 0);
}

struct AxisCase {
    float u;
    float v;
    cv::Vec3b bgr; // expected colour at full speed
    const char* name;
};

void PrintTo(const AxisCase& c, std::ostream* os)
{
    *os << c.name << " (u " << c.u << ", v " << c.v << ")";
}

class WheelAxis : public testing::TestWithParam<AxisCase> {};

TEST_P(WheelAxis, GivesTheConventionColour)
{
    const AxisCase& c = GetParam();
    SCOPED_TRACE(c.name);
    expectColour(flowWheelColour(c.u, c.v, 3.0), c.bgr, 1);
    // Half the maximum speed: halfway between the colour and white.
    cv::Vec3b half = flowWheelColour(c.u / 2, c.v / 2, 3.0);
    for (int ch = 0; ch < 3; ++ch)
        EXPECT_NEAR(half[ch], (255 + c.bgr[ch]) / 2.0, 1.01)
            << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(
    Directions, WheelAxis,
    testing::Values(AxisCase{3, 0, {0, 0, 255}, "right is red"},
                    AxisCase{0, 3, {0, 229, 255}, "down is orange-yellow"},
                    AxisCase{-3, 0, {255, 209, 0}, "left is cyan-blue"},
                    AxisCase{0, -3, {255, 0, 88}, "up is violet-blue"}),
    [](const testing::TestParamInfo<AxisCase>& info) {
        return paramName(info.param.name);
    });

TEST(Wheel, ScaleIsTheLargestSpeedUnlessFixed)
{
    cv::Mat velx(1, 4, CV_32FC1, cv::Scalar(0));
    cv::Mat vely(1, 4, CV_32FC1, cv::Scalar(0));
    velx.at<float>(1) = 2.0f; // half the largest speed
    velx.at<float>(2) = 4.0f; // the largest speed
    velx.at<float>(3) = NAN;  // unknown: ignored by the scale
    EXPECT_DOUBLE_EQ(largestSpeed(velx, vely), 4.0);

    cv::Mat automatic = renderFlowWheel(velx, vely, 0.0);
    EXPECT_EQ(automatic.at<cv::Vec3b>(0), cv::Vec3b(255, 255, 255));
    expectColour(automatic.at<cv::Vec3b>(1), {127, 127, 255}, 1);
    EXPECT_EQ(automatic.at<cv::Vec3b>(2), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(automatic.at<cv::Vec3b>(3), cv::Vec3b(0, 0, 0));

    // A fixed maximum of 2: speed 2 is saturated, speed 4 is beyond and
    // darkened to three quarters.
    cv::Mat fixed = renderFlowWheel(velx, vely, 2.0);
    EXPECT_EQ(fixed.at<cv::Vec3b>(1), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(fixed.at<cv::Vec3b>(2), cv::Vec3b(0, 0, 191));

    // A field at rest is white, not undefined; a negative zero changes
    // neither rest nor pure rightward motion.
    cv::Mat zero = renderFlowWheel(vely, vely, 0.0);
    EXPECT_EQ(cv::countNonZero(zero.reshape(1) != 255), 0);
    EXPECT_EQ(flowWheelColour(-0.0f, -0.0f, 5.0), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(flowWheelColour(1.0f, -0.0f, 1.0), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(flowWheelColour(2e9f, 0.0f, 1.0), cv::Vec3b(0, 0, 0));
}

const char* cornerName(LegendCorner corner)
{
    switch (corner) {
    case LegendCorner::None:
        return "none";
    case LegendCorner::TopLeft:
        return "top_left";
    case LegendCorner::TopRight:
        return "top_right";
    case LegendCorner::BottomLeft:
        return "bottom_left";
    case LegendCorner::BottomRight:
        return "bottom_right";
    }
    return "unknown";
}

void PrintTo(LegendCorner corner, std::ostream* os)
{
    *os << cornerName(corner);
}

class WheelLegend : public testing::TestWithParam<LegendCorner> {};

TEST_P(WheelLegend, IsDrawnInTheAskedCornerOnly)
{
    LegendCorner corner = GetParam();
    SCOPED_TRACE("corner " + std::to_string(static_cast<int>(corner)));
    cv::Mat image(120, 200, CV_8UC3, cv::Scalar(255, 255, 255));
    drawWheelLegend(image, corner);

    cv::Mat notWhite;
    cv::inRange(image, cv::Scalar(255, 255, 255), cv::Scalar(255, 255, 255),
                notWhite);
    notWhite = ~notWhite;
    cv::Rect drawn = cv::boundingRect(notWhite);
    ASSERT_GT(drawn.area(), 0);

    bool right =
        corner == LegendCorner::TopRight || corner == LegendCorner::BottomRight;
    bool bottom = corner == LegendCorner::BottomLeft ||
                  corner == LegendCorner::BottomRight;
    // Within a small gap of the two borders of its corner, away from the
    // other two.
    int gapX = right ? image.cols - drawn.br().x : drawn.x;
    int gapY = bottom ? image.rows - drawn.br().y : drawn.y;
    EXPECT_LE(gapX, 8);
    EXPECT_LE(gapY, 8);
    EXPECT_LT(drawn.width, image.cols / 2);
    EXPECT_LT(drawn.height, image.rows / 2);

    // The disc itself is coded like the field: right of centre red, below
    // orange-yellow, white at the centre.
    cv::Point c = legendCentre(image.size(), corner);
    int r = legendRadius(image.size());
    EXPECT_EQ(image.at<cv::Vec3b>(c), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(image.at<cv::Vec3b>(c + cv::Point(r, 0)), cv::Vec3b(0, 0, 255));
    expectColour(image.at<cv::Vec3b>(c + cv::Point(0, r)), {0, 229, 255}, 1);
}

INSTANTIATE_TEST_SUITE_P(Corners, WheelLegend,
                         testing::Values(LegendCorner::TopLeft,
                                         LegendCorner::TopRight,
                                         LegendCorner::BottomLeft,
                                         LegendCorner::BottomRight),
                         [](const testing::TestParamInfo<LegendCorner>& info) {
                             return std::string(cornerName(info.param));
                         });
