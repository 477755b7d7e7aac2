#include "velocity_colour.h"

#include "velocity_colour_kernel.h"
#include "velocity_colour_paths.h"

#include <opencv2/core/utility.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace ulk::viz {

using namespace colour;

namespace {

// For each 60-degree hue sector, which of V0..V3 goes into blue, green and
// red.
constexpr int kSectorChannels[6][3] = {
    {1, 3, 0}, {1, 0, 2}, {3, 0, 1}, {0, 2, 1}, {0, 1, 3}, {2, 1, 0},
};

unsigned char toByte(float value)
{
    // Truncate toward zero and keep the low 8 bits.
    const int scaled = static_cast<int>(static_cast<double>(value) *
                                        static_cast<double>(kByteScale));
    return static_cast<unsigned char>(scaled & 0xFF);
}

} // namespace

Pixel3 velocityColour(float vx, float vy, double k)
{
    if (!std::isfinite(vx) || !std::isfinite(vy))
        return Pixel3{};

    const double dvx = vx;
    const double dvy = vy;
    const float energy = static_cast<float>(dvy * dvy + dvx * dvx);
    const double hue = (std::atan2(dvy, dvx) * kInvPi + 1.0) * kHalfTurnDegrees;
    const double lightness = 1.0 - std::exp(-static_cast<double>(energy) * k);
    // k = 0 (allowed from Python) on a speed whose square overflows the
    // float gives 0 * infinity: black, the bytes that the conversions to int
    // of the NaN values below gave on x86, without converting a NaN.
    if (std::isnan(lightness))
        return Pixel3{};

    const float m2 = lightness <= kLightnessSplit
                         ? static_cast<float>(2.0 * lightness)
                         : static_cast<float>((lightness + 1.0f) - lightness);
    const float m1 = static_cast<float>(2.0 * lightness - m2);

    double h = hue * kDegreesToSector;
    if (h < kWrapLow) {
        do
            h += kSectorsPerTurn;
        while (h < kWrapLow);
    } else if (h >= kSectorsPerTurn) {
        do
            h -= kSectorsPerTurn;
        while (h >= kSectorsPerTurn);
    }
    const int sector = static_cast<int>(std::floor(h));
    const double f = static_cast<double>(static_cast<float>(h)) - sector;

    const double spread = static_cast<double>(m2) - m1;
    const float values[4] = {
        m2,
        m1,
        static_cast<float>(m1 + spread * (1.0f - f)),
        static_cast<float>(m1 + spread * f),
    };
    const int* channels = kSectorChannels[sector];
    return Pixel3{toByte(values[channels[0]]), toByte(values[channels[1]]),
                  toByte(values[channels[2]])};
}

namespace {

void scalarRow(const float* rowX, const float* rowY, int cols, double k,
               unsigned char* out)
{
    // The colour of the previous pixel's velocity, by its bits: a region
    // that moves as one has runs of equal velocities, which then cost no exp
    // and atan2 either.
    uint32_t lastX = 0;
    uint32_t lastY = 0;
    Pixel3 lastColour{};
    for (int x = 0; x < cols; ++x) {
        // No motion is black whatever the signs of the zeros; most of a
        // still scene is exactly 0, so this skips the exp and atan2.
        Pixel3 colour{};
        if (rowX[x] != 0.0f || rowY[x] != 0.0f) {
            uint32_t bitsX;
            uint32_t bitsY;
            std::memcpy(&bitsX, rowX + x, sizeof bitsX);
            std::memcpy(&bitsY, rowY + x, sizeof bitsY);
            if (bitsX != lastX || bitsY != lastY) {
                lastX = bitsX;
                lastY = bitsY;
                lastColour = velocityColour(rowX[x], rowY[x], k);
            }
            colour = lastColour;
        }
        out[3 * x] = colour.c0;
        out[3 * x + 1] = colour.c1;
        out[3 * x + 2] = colour.c2;
    }
}

} // namespace

const char* colourPathName(ColourPath path)
{
    // In ColourPath's order.
    static const char* const names[] = {"scalar", "avx2", "avx512"};
    return names[static_cast<int>(path)];
}

bool colourPathSupported(ColourPath path)
{
#ifdef OF_ULK_COLOUR_X86
    // The processor's features are read by a static constructor; this
    // reads them now if a constructor that runs earlier asks.
    __builtin_cpu_init();
#endif
    switch (path) {
    case ColourPath::Scalar:
        return true;
#ifdef OF_ULK_COLOUR_X86
    case ColourPath::Avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case ColourPath::Avx512:
        return __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512dq");
#endif
    default:
        return false;
    }
}

ColourPath fastestColourPath()
{
    static const ColourPath fastest = [] {
        for (ColourPath path : {ColourPath::Avx512, ColourPath::Avx2})
            if (colourPathSupported(path))
                return path;
        return ColourPath::Scalar;
    }();
    return fastest;
}

void colourRow(ColourPath path, const float* vx, const float* vy, int n,
               double k, unsigned char* bgr)
{
    // The kernels' bounds hold for t = energy * k from 0 up; k = 0 (allowed
    // from Python) would make an infinite energy's t NaN. A path the
    // processor lacks falls back to the scalar code too.
    if (!(std::isfinite(k) && k > 0.0) || !colourPathSupported(path))
        path = ColourPath::Scalar;
    switch (path) {
#ifdef OF_ULK_COLOUR_X86
    case ColourPath::Avx2:
        colourRowAvx2(vx, vy, n, k, bgr);
        break;
    case ColourPath::Avx512:
        colourRowAvx512(vx, vy, n, k, bgr);
        break;
#endif
    default:
        scalarRow(vx, vy, n, k, bgr);
        break;
    }
}

void renderVelocityColourOn(ColourPath path, const CvMat* velx,
                            const CvMat* vely, double k, ImageHolder& result)
{
    // Both maps are read at the same positions, so only their common area,
    // and only where the picture has pixels.
    const int rows = velx->rows < vely->rows ? velx->rows : vely->rows;
    const int mapCols = velx->cols < vely->cols ? velx->cols : vely->cols;
    const int cols = mapCols < result.width() ? mapCols : result.width();
    // Every row depends only on its own elements, so rows are coloured on
    // all of OpenCV's threads; each pixel gets the same bytes as in order.
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& band) {
        for (int y = band.start; y < band.end; ++y) {
            // Null for a row past the picture or a picture that is not
            // 8-bit with three channels: nothing is written there.
            unsigned char* out = result.pixelPtr3(0, y);
            if (out == nullptr)
                continue;
            const float* rowX =
                reinterpret_cast<const float*>(velx->data.ptr + y * velx->step);
            const float* rowY =
                reinterpret_cast<const float*>(vely->data.ptr + y * vely->step);
            colourRow(path, rowX, rowY, cols, k, out);
        }
    });
}

void renderVelocityColour(const CvMat* velx, const CvMat* vely, double k,
                          ImageHolder& result)
{
    renderVelocityColourOn(fastestColourPath(), velx, vely, k, result);
}

} // namespace ulk::viz
