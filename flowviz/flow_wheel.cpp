#include "flow_wheel.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace ulk::viz {

namespace {

// Steps between the six primary and secondary colours of the wheel, chosen
// so that equal steps look about equally different: red to yellow 15,
// yellow to green 6, green to cyan 4, cyan to blue 11, blue to magenta 13,
// magenta back to red 6.
constexpr int kRedYellow = 15;
constexpr int kYellowGreen = 6;
constexpr int kGreenCyan = 4;
constexpr int kCyanBlue = 11;
constexpr int kBlueMagenta = 13;
constexpr int kMagentaRed = 6;
static_assert(kRedYellow + kYellowGreen + kGreenCyan + kCyanBlue +
                      kBlueMagenta + kMagentaRed ==
                  kWheelColours,
              "the wheel has 55 colours");

// Speeds above this mark a velocity as unknown in flow files.
constexpr double kUnknownFlow = 1e9;
// Share of the colour kept for speeds beyond a fixed maximum.
constexpr double kBeyondMaxScale = 0.75;
// Legend disc radius: an eighth of the smaller image side, within bounds
// that keep it readable and small.
constexpr int kLegendMinRadius = 6;
constexpr int kLegendMaxRadius = 48;

using Rgb = std::array<unsigned char, 3>;

// The wheel in RGB, built once: each stretch ramps one channel up or down
// in floor(255 * i / steps) increments.
const std::array<Rgb, kWheelColours>& wheelTable()
{
    static const std::array<Rgb, kWheelColours> table = [] {
        std::array<Rgb, kWheelColours> t{};
        int k = 0;
        auto ramp = [](int i, int n) {
            return static_cast<unsigned char>(255 * i / n);
        };
        for (int i = 0; i < kRedYellow; ++i)
            t[k++] = {255, ramp(i, kRedYellow), 0};
        for (int i = 0; i < kYellowGreen; ++i)
            t[k++] = {static_cast<unsigned char>(255 - ramp(i, kYellowGreen)),
                      255, 0};
        for (int i = 0; i < kGreenCyan; ++i)
            t[k++] = {0, 255, ramp(i, kGreenCyan)};
        for (int i = 0; i < kCyanBlue; ++i)
            t[k++] = {0, static_cast<unsigned char>(255 - ramp(i, kCyanBlue)),
                      255};
        for (int i = 0; i < kBlueMagenta; ++i)
            t[k++] = {ramp(i, kBlueMagenta), 0, 255};
        for (int i = 0; i < kMagentaRed; ++i)
            t[k++] = {255, 0,
                      static_cast<unsigned char>(255 - ramp(i, kMagentaRed))};
        return t;
    }();
    return table;
}

bool isKnown(float u, float v)
{
    return std::isfinite(u) && std::isfinite(v) &&
           std::fabs(u) <= kUnknownFlow && std::fabs(v) <= kUnknownFlow;
}

} // namespace

cv::Vec3b wheelColour(int i)
{
    const Rgb& c = wheelTable()[static_cast<size_t>(i % kWheelColours)];
    return cv::Vec3b(c[2], c[1], c[0]);
}

cv::Vec3b flowWheelColour(float u, float v, double maxSpeed)
{
    if (!isKnown(u, v) || !(maxSpeed > 0.0))
        return cv::Vec3b(0, 0, 0);
    // Adding +0.0 turns a negative zero into a positive one, so that pure
    // horizontal motion to the right lands on wheel colour 0, not 54.
    double fu = (static_cast<double>(u) + 0.0) / maxSpeed;
    double fv = (static_cast<double>(v) + 0.0) / maxSpeed;
    double radius = std::sqrt(fu * fu + fv * fv);

    // The angle of the reversed vector, mapped from [-1, 1] onto the wheel.
    double a = std::atan2(-fv, -fu) / CV_PI;
    double fk = (a + 1.0) / 2.0 * (kWheelColours - 1);
    int k0 = std::min(static_cast<int>(fk), kWheelColours - 1);
    int k1 = (k0 + 1) % kWheelColours;
    double f = fk - k0;

    const Rgb& c0 = wheelTable()[static_cast<size_t>(k0)];
    const Rgb& c1 = wheelTable()[static_cast<size_t>(k1)];
    Rgb out{};
    for (size_t ch = 0; ch < 3; ++ch) {
        double col = (1.0 - f) * c0[ch] / 255.0 + f * c1[ch] / 255.0;
        if (radius <= 1.0)
            col = 1.0 - radius * (1.0 - col); // toward white when slow
        else
            col *= kBeyondMaxScale;
        out[ch] = static_cast<unsigned char>(255.0 * col);
    }
    return cv::Vec3b(out[2], out[1], out[0]);
}

double largestSpeed(const cv::Mat& velx, const cv::Mat& vely)
{
    CV_Assert(velx.type() == CV_32FC1 && vely.type() == CV_32FC1 &&
              velx.size() == vely.size());
    double largest = 0.0;
    for (int y = 0; y < velx.rows; ++y) {
        const float* pu = velx.ptr<float>(y);
        const float* pv = vely.ptr<float>(y);
        for (int x = 0; x < velx.cols; ++x) {
            if (!isKnown(pu[x], pv[x]))
                continue;
            double speed = std::sqrt(static_cast<double>(pu[x]) * pu[x] +
                                     static_cast<double>(pv[x]) * pv[x]);
            largest = std::max(largest, speed);
        }
    }
    return largest;
}

cv::Mat renderFlowWheel(const cv::Mat& velx, const cv::Mat& vely,
                        double maxSpeed)
{
    CV_Assert(velx.type() == CV_32FC1 && vely.type() == CV_32FC1 &&
              velx.size() == vely.size());
    double scale = maxSpeed > 0.0 ? maxSpeed : largestSpeed(velx, vely);
    if (scale <= 0.0)
        scale = 1.0; // an all-zero field: any scale gives white
    cv::Mat image(velx.size(), CV_8UC3);
    for (int y = 0; y < velx.rows; ++y) {
        const float* pu = velx.ptr<float>(y);
        const float* pv = vely.ptr<float>(y);
        cv::Vec3b* out = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < velx.cols; ++x)
            out[x] = flowWheelColour(pu[x], pv[x], scale);
    }
    return image;
}

int legendRadius(cv::Size imageSize)
{
    int radius = std::min(imageSize.width, imageSize.height) / 8;
    return std::clamp(radius, kLegendMinRadius, kLegendMaxRadius);
}

cv::Point legendCentre(cv::Size imageSize, LegendCorner corner)
{
    int r = legendRadius(imageSize);
    // Room for the black ring and a small gap to the image border.
    int inset = r + 1 + std::max(2, r / 4);
    bool right =
        corner == LegendCorner::TopRight || corner == LegendCorner::BottomRight;
    bool bottom = corner == LegendCorner::BottomLeft ||
                  corner == LegendCorner::BottomRight;
    return cv::Point(right ? imageSize.width - 1 - inset : inset,
                     bottom ? imageSize.height - 1 - inset : inset);
}

void drawWheelLegend(cv::Mat& image, LegendCorner corner)
{
    CV_Assert(image.type() == CV_8UC3);
    if (corner == LegendCorner::None)
        return;
    int r = legendRadius(image.size());
    cv::Point c = legendCentre(image.size(), corner);
    for (int dy = -r; dy <= r; ++dy) {
        int y = c.y + dy;
        if (y < 0 || y >= image.rows)
            continue;
        cv::Vec3b* row = image.ptr<cv::Vec3b>(y);
        for (int dx = -r; dx <= r; ++dx) {
            int x = c.x + dx;
            if (x < 0 || x >= image.cols || dx * dx + dy * dy > r * r)
                continue;
            row[x] = flowWheelColour(static_cast<float>(dx),
                                     static_cast<float>(dy), r);
        }
    }
    cv::circle(image, c, r + 1, cv::Scalar(0, 0, 0), 1, cv::LINE_8);
}

} // namespace ulk::viz
