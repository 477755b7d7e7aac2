// The point search of the motion stage as a template over the way window
// descriptors are made and compared, so that each vector path keeps the
// search's order of candidates and ties. Everything here has internal
// linkage: each file that includes it, compiled for its own instructions,
// keeps its own copy. Internal to motion.cpp and its vector kernels.
#ifndef OF_ULK_MOTION_SEARCH_H
#define OF_ULK_MOTION_SEARCH_H

#include "engine/motion.h"

#include <cstdint>

namespace ulk {
namespace {

const int kFullContrast = 32767; // contrast of a cell against an empty one
const int kWindowOffset = 16;    // window origin lies this far up and left
const int kBorderMargin = 33;    // origins up to size - 33 are usable
const int kCoarseStep = 5;       // offsets of the four coarse candidates
const int kFineRadius = 5;       // fine grid spans +-5 around the coarse best
const int kFineStep = 2;         // and visits every second position
// A zero-displacement cost below this is taken as no motion at once.
const uint64_t kGoodEnoughCost = 700;
// A best cost at or above this rejects the point.
const uint64_t kAcceptCost = 145000;

// Sum of the image pixels in columns xa..xb-1 and rows ya..yb-1. The
// arithmetic wraps like the 32-bit integral image itself, so the difference
// is right even where the running sums overflow.
inline int boxSum(const uint8_t* base, int step, int xa, int ya, int xb, int yb)
{
    const uint32_t* top = reinterpret_cast<const uint32_t*>(base + ya * step);
    const uint32_t* bottom =
        reinterpret_cast<const uint32_t*>(base + yb * step);
    return static_cast<int>(bottom[xb] - bottom[xa] - top[xb] + top[xa]);
}

// Contrast of two box sums (see boxContrast).
inline short contrastOf(int p, int q)
{
    const int m = p > q ? p : q;
    const int n = p > q ? q : p;
    if (m == 0)
        return 0;
    // Cell sums (0 to 64 x 255) stay far inside +-65536, where the product
    // fits in 32 bits and the cheaper division gives the same quotient.
    const int scaled =
        m < 65536 && n > -65536
            ? n * kFullContrast / m
            : static_cast<int>(int64_t(n) * kFullContrast / int64_t(m));
    const int c = kFullContrast - scaled;
    return static_cast<short>(p > q ? c : -c);
}

// Searches the point's window of the newer frame in the older one (see
// estimatePointMotion). Windows makes the descriptors: reference(x0, y0)
// that of the newer frame's window, cost(x0, y0, reference) the cost of the
// older frame's window at (x0, y0) against it.
template <class Windows>
void searchPointMotion(TrackPoint* point, const Windows& windows, int width,
                       int height)
{
    point->vx = 0;
    point->vy = 0;
    point->valid = 1;

    const int x = point->x;
    const int y = point->y;
    const int x0 = x > kWindowOffset ? x - kWindowOffset : 0;
    const int y0 = y > kWindowOffset ? y - kWindowOffset : 0;
    const int lastX = width - kBorderMargin;
    const int lastY = height - kBorderMargin;

    // A window that does not fit was never measured.
    if (x0 > lastX || y0 > lastY) {
        point->valid = 0;
        return;
    }

    const typename Windows::Reference reference = windows.reference(x0, y0);

    uint64_t bestCost = windows.cost(x0, y0, reference);
    if (bestCost < kGoodEnoughCost)
        return;

    // Coarse candidates in a fixed order; only a strictly smaller cost
    // replaces the best, so earlier positions win ties.
    struct Coarse {
        int dx, dy;
        bool allowed;
    };
    const Coarse coarse[4] = {
        {-kCoarseStep, -kCoarseStep, x0 > kCoarseStep && y0 > kCoarseStep},
        {-kCoarseStep, kCoarseStep,
         x0 > kCoarseStep && y0 + kCoarseStep <= lastY},
        {kCoarseStep, -kCoarseStep,
         x0 + kCoarseStep <= lastX && y0 > kCoarseStep},
        {kCoarseStep, kCoarseStep,
         x0 + kCoarseStep <= lastX && y0 + kCoarseStep <= lastY},
    };
    int dx = 0;
    int dy = 0;
    for (const Coarse& candidate : coarse) {
        if (!candidate.allowed)
            continue;
        const uint64_t cost =
            windows.cost(x0 + candidate.dx, y0 + candidate.dy, reference);
        if (cost < bestCost) {
            bestCost = cost;
            dx = candidate.dx;
            dy = candidate.dy;
        }
    }

    // Fine grid around the coarse best, in row-major order.
    const int bestX = x0 + dx;
    const int bestY = y0 + dy;
    const int xStart = bestX > kFineRadius ? bestX - kFineRadius : bestX;
    const int yStart = bestY > kFineRadius ? bestY - kFineRadius : bestY;
    const int xEnd = bestX + kFineRadius < lastX ? bestX + kFineRadius : lastX;
    const int yEnd = bestY + kFineRadius < lastY ? bestY + kFineRadius : lastY;
    int bx = bestX;
    int by = bestY;
    for (int yy = yStart; yy <= yEnd; yy += kFineStep) {
        for (int xx = xStart; xx <= xEnd; xx += kFineStep) {
            const uint64_t cost = windows.cost(xx, yy, reference);
            if (cost < bestCost) {
                bestCost = cost;
                bx = xx;
                by = yy;
            }
        }
    }

    if (bestCost >= kAcceptCost) {
        point->valid = 0;
        return;
    }
    point->vx = x0 - bx;
    point->vy = y0 - by;
}

} // namespace
} // namespace ulk

#endif
