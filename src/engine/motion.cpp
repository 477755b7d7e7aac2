// Tracking-point motion estimation: each point's 32 x 32 window in the newer
// frame is summarised by contrast values of its cells and searched for in
// the older frame, first on a coarse step of 5 pixels, then on a fine step
// of 2 pixels around the best coarse position.
#include "engine/motion.h"

#include "engine/parallel_bands.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <vector>

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
// Points per parallel stripe at least: a point costs a few microseconds.
const int kMinPointsPerStripe = 32;

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

// The window descriptor (see windowDescriptor).
inline void describeWindow(const CvMat* integral, int x0, int y0,
                           short descriptor[kDescriptorLength])
{
    // The sums of all (kGridCols + 1) x (kGridRows + 1) cells, each used by
    // up to four contrasts.
    int cell[kGridRows + 1][kGridCols + 1];
    for (int r = 0; r <= kGridRows; ++r) {
        const int ya = y0 + r * kCellHeight;
        for (int c = 0; c <= kGridCols; ++c) {
            const int xa = x0 + c * kCellWidth;
            cell[r][c] = boxSum(integral->data.ptr, integral->step, xa, ya,
                                xa + kCellWidth, ya + kCellHeight);
        }
    }
    // Each cell against its lower-right neighbour, then its right neighbour
    // against its lower one.
    for (int r = 0; r < kGridRows; ++r) {
        for (int c = 0; c < kGridCols; ++c) {
            const int k = r * kGridCols + c;
            descriptor[k] = contrastOf(cell[r][c], cell[r + 1][c + 1]);
            descriptor[kGridCols * kGridRows + k] =
                contrastOf(cell[r][c + 1], cell[r + 1][c]);
        }
    }
}

// Cost of the descriptor of integral at (x0, y0) against the reference.
uint64_t candidateCost(const CvMat* integral, int x0, int y0,
                       const short* reference)
{
    short descriptor[kDescriptorLength];
    describeWindow(integral, x0, y0, descriptor);
    return descriptorCost(descriptor, reference);
}

} // namespace

short boxContrast(int p, int q)
{
    return contrastOf(p, q);
}

void windowDescriptor(const CvMat* integral, int x0, int y0,
                      short descriptor[kDescriptorLength])
{
    describeWindow(integral, x0, y0, descriptor);
}

uint64_t descriptorCost(const short* a, const short* b)
{
    uint64_t cost = 0;
    for (int k = 0; k < kDescriptorLength; ++k)
        cost += static_cast<uint64_t>(std::abs(int(a[k]) - int(b[k])));
    return cost;
}

void estimatePointMotion(TrackPoint* point, const CvMat* integralA,
                         const CvMat* integralB, int width, int height)
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

    short reference[kDescriptorLength];
    describeWindow(integralB, x0, y0, reference);

    uint64_t bestCost = candidateCost(integralA, x0, y0, reference);
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
        const uint64_t cost = candidateCost(integralA, x0 + candidate.dx,
                                            y0 + candidate.dy, reference);
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
            const uint64_t cost = candidateCost(integralA, xx, yy, reference);
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

void estimateMotion(CvSeq* trackPoints, const CvMat* integralA,
                    const CvMat* integralB, int width, int height,
                    const std::vector<unsigned char>* measured)
{
    // Each point reads the integral images and writes only itself, so the
    // points can be shared out in any way.
    assert(!measured || measured->size() == size_t(trackPoints->total));
    std::vector<TrackPoint*> points(size_t(trackPoints->total));
    CvSeqReader reader;
    cvStartReadSeq(trackPoints, &reader, 0);
    for (TrackPoint*& point : points) {
        point = reinterpret_cast<TrackPoint*>(reader.ptr);
        CV_NEXT_SEQ_ELEM(trackPoints->elem_size, reader);
    }
    cv::parallel_for_(
        cv::Range(0, int(points.size())),
        [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i)
                if (!measured || !(*measured)[size_t(i)])
                    estimatePointMotion(points[size_t(i)], integralA, integralB,
                                        width, height);
        },
        stripeCount(int(points.size()), kMinPointsPerStripe));
}

void estimateVertexMotion(SegmentOutline* outline, int segment,
                          const CvMat* integralA, const CvMat* integralB,
                          int width, int height, MeasuredVertices* near)
{
    outline->motion.resize(outline->vertices.size());
    for (size_t k = 0; k < outline->vertices.size(); ++k) {
        const CvPoint vertex = outline->vertices[k];
        if (near->positions.anyWithin(vertex, [near, segment](int number) {
                return near->segment[size_t(number)] <= segment;
            })) {
            outline->motion[k] = {0, 0, 0, false};
            continue;
        }
        near->positions.add(vertex);
        near->segment.push_back(segment);
        TrackPoint point = {};
        point.x = vertex.x;
        point.y = vertex.y;
        estimatePointMotion(&point, integralA, integralB, width, height);
        outline->motion[k] = {point.vx, point.vy, point.valid, true};
    }
}

} // namespace ulk
