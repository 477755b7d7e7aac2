// Figures for judging a dense flow field against a known one: the reader of
// Middlebury .flo ground-truth files, the average endpoint error and the share
// of pixels whose endpoint error exceeds 3 pixels, and frame pairs with a
// known whole-pixel shift. Header-only, so the tests use it without the
// benchmark build.
//
// Flow fields are CV_32FC2 matrices of (u, v) per pixel: the displacement in
// pixels from the older frame to the newer one, x to the right, y downward.
#ifndef OF_ULK_BENCH_FLOW_METRICS_H
#define OF_ULK_BENCH_FLOW_METRICS_H

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace ulk::bench {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              ".flo files are little-endian and are read byte for byte");

namespace flowmetrics {

// First four bytes of every .flo file: "PIEH" read as a float.
constexpr float kFloTag = 202021.25f;
// A component above this magnitude marks a pixel whose motion is unknown.
constexpr float kUnknownLimit = 1e9f;
// Value written for unknown components, the one the .flo files use.
constexpr float kUnknownFlow = 1e10f;
// Endpoint error beyond which a pixel counts as badly estimated.
constexpr double kBadPixelError = 3.0;
// Largest side accepted from a .flo header, so that a corrupt header cannot
// ask for gigabytes.
constexpr int kMaxFloSide = 1 << 15;
// Bytes before the flow data: tag, width, height.
constexpr std::size_t kFloHeaderBytes = 12;

// True when the ground truth at this pixel is known. NaN counts as unknown.
inline bool isKnownFlow(float u, float v)
{
    return std::fabs(u) <= kUnknownLimit && std::fabs(v) <= kUnknownLimit;
}

// Reads a .flo file into a CV_32FC2 matrix. Returns an empty matrix and sets
// *error (when given) if the file is missing, carries another tag, has a
// non-positive or oversized side, or its length does not match its header.
inline cv::Mat readFlo(const std::string& path, std::string* error = nullptr)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return cv::Mat();
    };
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail("cannot open");
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    if (bytes.size() < kFloHeaderBytes)
        return fail("shorter than a .flo header");

    float tag = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::memcpy(&tag, bytes.data(), 4);
    std::memcpy(&width, bytes.data() + 4, 4);
    std::memcpy(&height, bytes.data() + 8, 4);
    if (tag != kFloTag)
        return fail("not a .flo file (wrong tag)");
    if (width <= 0 || height <= 0 || width > kMaxFloSide ||
        height > kMaxFloSide)
        return fail("bad size " + std::to_string(width) + " x " +
                    std::to_string(height));
    const std::size_t dataBytes = std::size_t(width) * height * 2 * 4;
    if (bytes.size() != kFloHeaderBytes + dataBytes)
        return fail("length " + std::to_string(bytes.size()) +
                    " does not match a " + std::to_string(width) + " x " +
                    std::to_string(height) + " field");

    cv::Mat flow(height, width, CV_32FC2);
    std::memcpy(flow.data, bytes.data() + kFloHeaderBytes, dataBytes);
    return flow;
}

// Error of an estimated field against the ground truth.
struct FlowError {
    // Mean endpoint error over the known pixels, in pixels; NaN when no pixel
    // is known, infinite when the estimate is not finite at a known pixel.
    double averageEndpointError = 0.0;
    // Share (0 to 1) of the known pixels whose endpoint error is above 3
    // pixels; NaN when no pixel is known.
    double badShare = 0.0;
    long long knownPixels = 0;
};

// Compares two CV_32FC2 fields of equal size over the pixels whose truth is
// known. A non-finite estimate counts as an infinitely wrong pixel.
inline FlowError compareFlow(const cv::Mat& estimate, const cv::Mat& truth)
{
    CV_Assert(estimate.type() == CV_32FC2 && truth.type() == CV_32FC2);
    CV_Assert(estimate.size() == truth.size());

    double errorSum = 0.0;
    long long bad = 0;
    long long known = 0;
    for (int y = 0; y < truth.rows; ++y) {
        const cv::Vec2f* t = truth.ptr<cv::Vec2f>(y);
        const cv::Vec2f* e = estimate.ptr<cv::Vec2f>(y);
        for (int x = 0; x < truth.cols; ++x) {
            if (!isKnownFlow(t[x][0], t[x][1]))
                continue;
            ++known;
            const double du = double(e[x][0]) - t[x][0];
            const double dv = double(e[x][1]) - t[x][1];
            double err = std::sqrt(du * du + dv * dv);
            if (!std::isfinite(err))
                err = std::numeric_limits<double>::infinity();
            errorSum += err;
            if (err > kBadPixelError)
                ++bad;
        }
    }

    FlowError result;
    result.knownPixels = known;
    if (known == 0) {
        result.averageEndpointError = std::numeric_limits<double>::quiet_NaN();
        result.badShare = std::numeric_limits<double>::quiet_NaN();
    } else {
        result.averageEndpointError = errorSum / double(known);
        result.badShare = double(bad) / double(known);
    }
    return result;
}

// A grey texture with structure at every scale: soft blobs, fine grain and
// flat shapes with sharp edges, so that both gradient methods and
// segmentation methods find something to track. Fixed by the seed.
inline cv::Mat makeTexture(cv::Size size, unsigned seed)
{
    cv::RNG rng(seed);
    // Coarse random grid blown up with cubic interpolation: blobs of about
    // 16 pixels.
    cv::Mat coarse(size.height / 16 + 2, size.width / 16 + 2, CV_32F);
    rng.fill(coarse, cv::RNG::UNIFORM, 40.0, 215.0);
    cv::Mat blobs;
    cv::resize(coarse, blobs, size, 0, 0, cv::INTER_CUBIC);

    // Grain, slightly smoothed so that it survives subpixel resampling.
    cv::Mat grain(size, CV_32F);
    rng.fill(grain, cv::RNG::NORMAL, 0.0, 12.0);
    cv::GaussianBlur(grain, grain, cv::Size(3, 3), 0.8);

    cv::Mat texture;
    cv::Mat(blobs + grain).convertTo(texture, CV_8U);

    // Flat shapes: one per 2000 pixels or so.
    const int shapes = std::max(4, size.area() / 2000);
    for (int i = 0; i < shapes; ++i) {
        const cv::Point centre(rng.uniform(0, size.width),
                               rng.uniform(0, size.height));
        const int radius = rng.uniform(4, 24);
        const cv::Scalar grey(rng.uniform(0, 256));
        if (i % 2 == 0)
            cv::circle(texture, centre, radius, grey, cv::FILLED);
        else
            cv::rectangle(texture, centre - cv::Point(radius, radius / 2),
                          centre + cv::Point(radius, radius / 2), grey,
                          cv::FILLED);
    }
    return texture;
}

// Two frames of one texture, the newer one showing it moved by (dx, dy)
// pixels, and the ground truth on the older frame's pixel grid.
struct ShiftedPair {
    cv::Mat older; // CV_8UC1
    cv::Mat newer; // CV_8UC1: newer(x + dx, y + dy) == older(x, y)
    cv::Mat truth; // CV_32FC2: (dx, dy), or unknown in the border bands
};

// Both frames are windows of one larger texture, so the content that enters
// the newer frame is real texture, not padding. The truth is unknown within
// |dx| columns of the left and right borders and |dy| rows of the top and
// bottom: there one of the frames has no counterpart pixel, and excluding
// both sides judges methods that index their field by either frame on the
// same pixels.
inline ShiftedPair makeShiftedPair(cv::Size size, int dx, int dy,
                                   unsigned seed = 7)
{
    const int margin = std::max(std::abs(dx), std::abs(dy));
    CV_Assert(2 * std::abs(dx) < size.width && 2 * std::abs(dy) < size.height);
    const cv::Mat texture = makeTexture(
        cv::Size(size.width + 2 * margin, size.height + 2 * margin), seed);

    ShiftedPair pair;
    pair.older =
        texture(cv::Rect(margin, margin, size.width, size.height)).clone();
    pair.newer =
        texture(cv::Rect(margin - dx, margin - dy, size.width, size.height))
            .clone();
    pair.truth.create(size, CV_32FC2);
    const int ax = std::abs(dx);
    const int ay = std::abs(dy);
    for (int y = 0; y < size.height; ++y) {
        cv::Vec2f* t = pair.truth.ptr<cv::Vec2f>(y);
        const bool rowKnown = y >= ay && y < size.height - ay;
        for (int x = 0; x < size.width; ++x) {
            const bool known = rowKnown && x >= ax && x < size.width - ax;
            t[x] = known ? cv::Vec2f(float(dx), float(dy))
                         : cv::Vec2f(kUnknownFlow, kUnknownFlow);
        }
    }
    return pair;
}

// A pattern of 20 x 20 pixels repeated over the frame (a disc, a bar and
// a cross on a mid grey) over faint soft blobs, with a little grain: the
// kind of texture on which a search finds a match one period away.
inline cv::Mat makeRepetitiveTexture(cv::Size size, unsigned seed)
{
    const int period = 20;
    cv::Mat tile(period, period, CV_8UC1, cv::Scalar(110));
    cv::circle(tile, cv::Point(6, 6), 4, cv::Scalar(200), cv::FILLED);
    cv::rectangle(tile, cv::Rect(12, 3, 4, 14), cv::Scalar(40), cv::FILLED);
    cv::line(tile, cv::Point(2, 15), cv::Point(9, 15), cv::Scalar(170), 2);
    cv::line(tile, cv::Point(5, 12), cv::Point(5, 18), cv::Scalar(170), 2);
    cv::Mat pattern;
    cv::repeat(tile, size.height / period + 1, size.width / period + 1,
               pattern);
    pattern = pattern(cv::Rect(0, 0, size.width, size.height));

    cv::RNG rng(seed);
    cv::Mat coarse(size.height / 64 + 2, size.width / 64 + 2, CV_32F);
    rng.fill(coarse, cv::RNG::UNIFORM, -20.0, 20.0);
    cv::Mat blobs;
    cv::resize(coarse, blobs, size, 0, 0, cv::INTER_CUBIC);
    cv::Mat grain(size, CV_32F);
    rng.fill(grain, cv::RNG::NORMAL, 0.0, 3.0);
    cv::Mat base;
    pattern.convertTo(base, CV_32F);
    cv::Mat texture;
    cv::Mat(base + blobs + grain).convertTo(texture, CV_8U);
    return texture;
}

// A frame and the same frame moved by an affine map, with the truth.
struct MovedFrames {
    cv::Mat older;    // CV_8UC1
    cv::Mat newer;    // CV_8UC1: newer(m(x)) == older(x), borders reflected
    cv::Mat truth;    // CV_32FC2: m(x) - x where m(x) stays in the frame,
                      // unknown where it leaves it
    cv::Mat truthAll; // the same, known everywhere
};

// older is frame; m maps an older pixel to its place in the newer frame
// (2 x 3, as cv::warpAffine takes it). What enters the newer frame is the
// frame reflected at its borders.
inline MovedFrames makeMovedFrames(const cv::Mat& frame, const cv::Matx23d& m)
{
    MovedFrames pair;
    pair.older = frame.clone();
    cv::warpAffine(frame, pair.newer, m, frame.size(), cv::INTER_LINEAR,
                   cv::BORDER_REFLECT);
    pair.truth.create(frame.size(), CV_32FC2);
    pair.truthAll.create(frame.size(), CV_32FC2);
    for (int y = 0; y < frame.rows; ++y) {
        cv::Vec2f* t = pair.truth.ptr<cv::Vec2f>(y);
        cv::Vec2f* a = pair.truthAll.ptr<cv::Vec2f>(y);
        for (int x = 0; x < frame.cols; ++x) {
            const double tx = m(0, 0) * x + m(0, 1) * y + m(0, 2);
            const double ty = m(1, 0) * x + m(1, 1) * y + m(1, 2);
            a[x] = cv::Vec2f(float(tx - x), float(ty - y));
            const bool inside = tx >= 0 && ty >= 0 && tx <= frame.cols - 1 &&
                                ty <= frame.rows - 1;
            t[x] = inside ? a[x] : cv::Vec2f(kUnknownFlow, kUnknownFlow);
        }
    }
    return pair;
}

// A move by distance pixels along the unit direction (dirX, dirY).
inline cv::Matx23d translation(double distance, double dirX, double dirY)
{
    return cv::Matx23d(1, 0, distance * dirX, 0, 1, distance * dirY);
}

// A turn by degrees (counter-clockwise on the screen) and a zoom by factor
// about the centre of a frame of this size.
inline cv::Matx23d rotationZoom(cv::Size size, double degrees, double factor)
{
    const cv::Mat m = cv::getRotationMatrix2D(
        cv::Point2f(0.5f * (size.width - 1), 0.5f * (size.height - 1)), degrees,
        factor);
    return cv::Matx23d(m.ptr<double>(0));
}

} // namespace flowmetrics

} // namespace ulk::bench

#endif
