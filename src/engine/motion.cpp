// Tracking-point motion estimation: each point's 32 x 32 window in the newer
// frame is summarised by contrast values of its cells and searched for in
// the older frame, first on a coarse step of 5 pixels, then on a fine step
// of 2 pixels around the best coarse position.
#include "engine/motion.h"

#include "engine/motion_search.h"
#include "engine/parallel_bands.h"
#include "engine/vector_paths.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace ulk {

namespace {

// Points per parallel stripe at least: a point costs a few microseconds.
const int kMinPointsPerStripe = 32;

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

// The descriptors of the plain code, in windowDescriptor's order.
struct PlainWindows {
    const CvMat* older;
    const CvMat* newer;
    struct Reference {
        short descriptor[kDescriptorLength];
    };
    Reference reference(int x0, int y0) const
    {
        Reference r;
        describeWindow(newer, x0, y0, r.descriptor);
        return r;
    }
    uint64_t cost(int x0, int y0, const Reference& reference) const
    {
        short descriptor[kDescriptorLength];
        describeWindow(older, x0, y0, descriptor);
        return descriptorCost(descriptor, reference.descriptor);
    }
};

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
#ifdef OF_ULK_ENGINE_X86
    if (activeVectorPath() >= VectorPath::Avx2) {
        estimatePointMotionAvx2(point, integralA, integralB, width, height);
        return;
    }
#endif
    searchPointMotion(point, PlainWindows{integralA, integralB}, width, height);
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
