#include "synthetic_scene.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace ulk::tools {

namespace {

// Objects per scene, one starting in each quadrant of the frame (the last
// quadrant stays empty over a panning background).
constexpr int kObjectCount = 4;
constexpr int kPanningObjectCount = 3;
// Objects span this fraction of the frame in each direction, so that a
// 32 x 32 matching window fits well inside them at 640 x 480.
constexpr int kObjectFraction = 5;
constexpr int kMinObjectSide = 16;
// Texture blobs are 8 to 32 pixels across: grey structure at the scale the
// engine's matching window sees.
constexpr int kMinBlob = 8;
constexpr int kMaxBlob = 32;
// Speeds, in pixels per frame, of the objects (whole-pixel components).
constexpr double kMinSpeed = 1.0;
constexpr double kMaxSpeed = 5.0;
constexpr double kPi = 3.14159265358979323846;
// Dark rim drawn around each object.
constexpr int kRimGrey = 15;
constexpr int kRimWidth = 2;

// A texture of random rectangles and discs over a base colour. Grey levels
// are drawn from [lowGrey, highGrey], each with a small colour tint.
cv::Mat makeTexture(cv::Size size, cv::RNG& rng, int lowGrey, int highGrey)
{
    auto colour = [&]() {
        const int grey = rng.uniform(lowGrey, highGrey + 1);
        cv::Scalar c;
        for (int ch = 0; ch < 3; ++ch)
            c[ch] = std::clamp(grey + rng.uniform(-20, 21), 0, 255);
        return c;
    };
    cv::Mat texture(size, CV_8UC3, colour());
    const int maxBlob = std::max(kMinBlob, std::min(kMaxBlob, size.width));
    // About two blobs per 16 x 16 area cover the texture several times.
    const int blobs = std::max(8, size.area() / 128);
    for (int i = 0; i < blobs; ++i) {
        const int w = rng.uniform(kMinBlob, maxBlob + 1);
        const int h = rng.uniform(kMinBlob, maxBlob + 1);
        const cv::Point at(rng.uniform(-w / 2, size.width),
                           rng.uniform(-h / 2, size.height));
        if (rng.uniform(0, 2) == 0)
            cv::rectangle(texture, cv::Rect(at.x, at.y, w, h), colour(),
                          cv::FILLED);
        else
            cv::circle(texture, at, w / 2, colour(), cv::FILLED, cv::LINE_8);
    }
    return texture;
}

// A whole-pixel velocity with a speed in [kMinSpeed, kMaxSpeed] whose
// direction lies in the quarter turn `quarter` (0 to 3), so that the
// objects of a scene move in clearly different directions.
cv::Point makeVelocity(cv::RNG& rng, int quarter)
{
    for (;;) {
        const double angle = (quarter + rng.uniform(0.1, 0.9)) * kPi / 2.0;
        const double speed = rng.uniform(kMinSpeed, kMaxSpeed);
        const cv::Point v(
            static_cast<int>(std::lround(speed * std::cos(angle))),
            static_cast<int>(std::lround(speed * std::sin(angle))));
        const double actual = std::hypot(v.x, v.y);
        if (actual >= kMinSpeed && actual <= kMaxSpeed)
            return v;
    }
}

// The panning background: uniform noise blurred with its borders wrapped,
// so that it tiles seamlessly as it pans, its contrast raised to the full
// range and a little colour of its own in each channel.
cv::Mat makeBlurredNoise(cv::Size size, cv::RNG& rng)
{
    constexpr double kSigma = 2.0;
    constexpr int kMargin = 8;    // four sigmas
    constexpr double kGain = 6.0; // on the mean of the channels
    constexpr double kTint = 1.5; // on each channel's own part
    cv::Mat noise(size, CV_8UC3), padded;
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::copyMakeBorder(noise, padded, kMargin, kMargin, kMargin, kMargin,
                       cv::BORDER_WRAP);
    cv::GaussianBlur(padded, padded, cv::Size(), kSigma);
    // channel k = 128 + kGain * (mean - 128) + kTint * (channel k - mean)
    cv::Matx34f mix;
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 3; ++j)
            mix(k, j) = static_cast<float>((kGain - kTint) / 3.0 +
                                           (j == k ? kTint : 0.0));
        mix(k, 3) = static_cast<float>(128.0 * (1.0 - kGain));
    }
    cv::Mat background;
    cv::transform(padded(cv::Rect(kMargin, kMargin, size.width, size.height)),
                  background, mix);
    return background;
}

// Copies texture into image with its top-left corner at `at`, wrapping
// around the image's edges: in up to four pieces.
void pasteWrapped(const cv::Mat& texture, cv::Point at, cv::Mat& image)
{
    const cv::Rect whole(0, 0, image.cols, image.rows);
    for (int dy : {0, -image.rows}) {
        for (int dx : {0, -image.cols}) {
            const cv::Rect placed(at.x + dx, at.y + dy, texture.cols,
                                  texture.rows);
            const cv::Rect visible = placed & whole;
            if (!visible.empty())
                texture(visible - placed.tl()).copyTo(image(visible));
        }
    }
}

int wrap(long long value, int period)
{
    const long long r = value % period;
    return static_cast<int>(r < 0 ? r + period : r);
}

} // namespace

SyntheticScene::SyntheticScene(int width, int height, unsigned seed,
                               Backdrop backdrop)
    : width_(width), height_(height)
{
    cv::RNG rng(seed);
    // The still background keeps to middle greys and the objects use the
    // full range with a dark rim, so that the objects stand out to the eye.
    int objectCount = kObjectCount;
    if (backdrop == Backdrop::Still) {
        background_ = makeTexture(cv::Size(width, height), rng, 80, 170);
    } else {
        background_ = makeBlurredNoise(cv::Size(width, height), rng);
        pan_ = cv::Point(1, 0);
        objectCount = kPanningObjectCount;
    }

    const int objectWidth = std::max(kMinObjectSide, width / kObjectFraction);
    const int objectHeight = std::max(kMinObjectSide, height / kObjectFraction);
    for (int i = 0; i < objectCount; ++i) {
        // Centred in its quadrant with a little random offset.
        const int quadrantX = (i % 2) * (width / 2);
        const int quadrantY = (i / 2) * (height / 2);
        const int slackX = std::max(0, width / 2 - objectWidth);
        const int slackY = std::max(0, height / 2 - objectHeight);
        const int x =
            quadrantX + slackX / 2 + rng.uniform(-slackX / 4, slackX / 4 + 1);
        const int y =
            quadrantY + slackY / 2 + rng.uniform(-slackY / 4, slackY / 4 + 1);
        const cv::Point v = makeVelocity(rng, i);
        objects_.push_back(
            {cv::Rect(x, y, objectWidth, objectHeight), v.x, v.y});
        cv::Mat texture =
            makeTexture(cv::Size(objectWidth, objectHeight), rng, 0, 255);
        cv::rectangle(texture, cv::Rect(0, 0, objectWidth, objectHeight),
                      cv::Scalar::all(kRimGrey), kRimWidth);
        textures_.push_back(texture);
    }
}

cv::Point SyntheticScene::objectPosition(std::size_t object, int index) const
{
    const SceneObject& o = objects_[object];
    return cv::Point(
        wrap(o.box.x + static_cast<long long>(index) * o.vx, width_),
        wrap(o.box.y + static_cast<long long>(index) * o.vy, height_));
}

cv::Mat SyntheticScene::frame(int index) const
{
    cv::Mat image(height_, width_, CV_8UC3);
    pasteWrapped(
        background_,
        cv::Point(wrap(static_cast<long long>(index) * pan_.x, width_),
                  wrap(static_cast<long long>(index) * pan_.y, height_)),
        image);
    // An object leaving one edge comes back at the opposite one.
    for (std::size_t i = 0; i < objects_.size(); ++i)
        pasteWrapped(textures_[i], objectPosition(i, index), image);
    return image;
}

cv::Mat SyntheticScene::greyFrame(int index) const
{
    cv::Mat grey;
    cv::cvtColor(frame(index), grey, cv::COLOR_BGR2GRAY);
    return grey;
}

cv::Mat diagonalStripes(cv::Size size, int shift)
{
    const int period = 8;
    cv::Mat frame(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            frame.at<unsigned char>(y, x) =
                (x - shift + y) % period < period / 2 ? 200 : 50;
    return frame;
}

} // namespace ulk::tools
