// Segment outlines and tracking points: each segment's outline is walked,
// simplified to a polygon, and its vertices become tracking points shared by
// all segments that have a vertex near them.
#include "track_points.h"

#include "parallel_bands.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Two positions at most this far apart (squared) are one tracking point.
const int kSameTrackPointDist2 = 64;
// The largest offset along one axis that can still be within that distance.
const int kSameTrackPointReach = 8;
// Side of the index cells: a point within reach of a position lies in the
// position's cell or in one of the eight around it.
const int kIndexCell = 8;
// Segments per parallel stripe of the outline walks at least.
const int kMinSegmentsPerStripe = 16;

bool withinReach(CvPoint a, CvPoint b)
{
    const int64_t dx = (int64_t)a.x - b.x;
    const int64_t dy = (int64_t)a.y - b.y;
    return dx * dx + dy * dy <= kSameTrackPointDist2;
}

// The tracking points made so far, by position: finds the earliest-created
// point within reach of a position, as a search of the whole sequence from
// its first element would, while looking at the nearby points only.
class TrackPointIndex {
  public:
    TrackPointIndex(int cols, int rows)
        : cols_(std::max(cols, 1)), rows_(std::max(rows, 1)),
          cellsX_(cols_ / kIndexCell + 1), cellsY_(rows_ / kIndexCell + 1),
          first_(size_t(cellsX_) * cellsY_, -1),
          last_(size_t(cellsX_) * cellsY_, -1)
    {
    }

    // The earliest point within reach of p, or null.
    TrackPoint* findEarliest(CvPoint p) const
    {
        const int cx = cellX(p.x);
        const int cy = cellY(p.y);
        int earliest = -1;
        for (int y = std::max(cy - 1, 0); y <= std::min(cy + 1, cellsY_ - 1);
             ++y) {
            for (int x = std::max(cx - 1, 0);
                 x <= std::min(cx + 1, cellsX_ - 1); ++x) {
                // Cells list their points in creation order: the first one
                // within reach is the cell's earliest.
                for (int k = first_[size_t(y) * cellsX_ + x]; k >= 0;
                     k = next_[k]) {
                    if (earliest >= 0 && k > earliest)
                        break;
                    if (withinReach(p, positions_[k])) {
                        earliest = k;
                        break;
                    }
                }
            }
        }
        return earliest >= 0 ? points_[earliest] : nullptr;
    }

    void add(CvPoint p, TrackPoint* point)
    {
        const int k = int(points_.size());
        points_.push_back(point);
        positions_.push_back(p);
        next_.push_back(-1);
        const size_t cell = size_t(cellY(p.y)) * cellsX_ + cellX(p.x);
        if (last_[cell] >= 0)
            next_[last_[cell]] = k;
        else
            first_[cell] = k;
        last_[cell] = k;
    }

  private:
    // Positions are clamped into the frame first; clamping keeps positions
    // within reach in neighbouring cells.
    int cellX(int x) const { return std::clamp(x, 0, cols_ - 1) / kIndexCell; }
    int cellY(int y) const { return std::clamp(y, 0, rows_ - 1) / kIndexCell; }

    int cols_, rows_;
    int cellsX_, cellsY_;
    std::vector<int> first_, last_; // per cell: first and last point
    std::vector<int> next_;         // per point: next point of its cell
    std::vector<TrackPoint*> points_;
    std::vector<CvPoint> positions_;
};

// Walks and simplifies the outlines of segments [first, end) that are not
// walked yet, on the final label map, which every walk only reads. The
// walks of a stripe share a scratch storage of their own.
void outlineSegments(const CvMat* labelMap,
                     const std::vector<SegmentRecord*>& records, int first,
                     int end, SegmentOutlines* outlines)
{
    CvMemStorage* scratch = cvCreateMemStorage(0);
    try {
        for (int i = first; i < end; ++i) {
            if (outlines->walked[size_t(i)])
                continue;
            const SegmentRecord* record = records[size_t(i)];
            outlineSegment(labelMap, record->startX, record->startY, scratch,
                           &outlines->outline[size_t(i)]);
        }
    } catch (...) {
        cvReleaseMemStorage(&scratch);
        throw;
    }
    cvReleaseMemStorage(&scratch);
}

} // namespace

int cvCmpTrackPoints(const void* a, const void* b, void* /*userData*/)
{
    assert(a != nullptr && b != nullptr);
    // Both records begin with an int x and an int y, not necessarily
    // aligned inside a sequence block.
    int pa[2];
    int pb[2];
    std::memcpy(pa, a, sizeof(pa));
    std::memcpy(pb, b, sizeof(pb));
    // 64-bit differences cannot overflow; a component beyond the reach
    // answers before squaring, whose square could pass the 64-bit range.
    const int64_t dx = (int64_t)pa[0] - pb[0];
    const int64_t dy = (int64_t)pa[1] - pb[1];
    if (dx < -kSameTrackPointReach || dx > kSameTrackPointReach ||
        dy < -kSameTrackPointReach || dy > kSameTrackPointReach)
        return -1;
    return dx * dx + dy * dy <= kSameTrackPointDist2 ? 0 : -1;
}

void buildTrackPoints(const CvMat* labelMap, CvSeq* segments,
                      CvSeq* trackPoints, CvMemStorage* storage,
                      SegmentOutlines* ready)
{
    (void)storage;
    TrackPointIndex index(labelMap->cols, labelMap->rows);
    CvSeqReader pointReader;
    cvStartReadSeq(trackPoints, &pointReader, 0);
    for (int i = 0; i < trackPoints->total; ++i) {
        TrackPoint* point = (TrackPoint*)pointReader.ptr;
        int position[2];
        std::memcpy(position, point, sizeof(position));
        index.add(cvPoint(position[0], position[1]), point);
        CV_NEXT_SEQ_ELEM(trackPoints->elem_size, pointReader);
    }

    std::vector<SegmentRecord*> records(size_t(segments->total));
    CvSeqReader segReader;
    cvStartReadSeq(segments, &segReader, 0);
    for (SegmentRecord*& record : records) {
        record = (SegmentRecord*)segReader.ptr;
        CV_NEXT_SEQ_ELEM(segments->elem_size, segReader);
    }

    // The outlines of all segments not walked yet, by stripes of segments
    // in parallel.
    SegmentOutlines own;
    SegmentOutlines& outlines = ready ? *ready : own;
    outlines.outline.resize(records.size());
    outlines.walked.resize(records.size(), 0);
    cv::parallel_for_(
        cv::Range(0, int(records.size())),
        [&](const cv::Range& range) {
            outlineSegments(labelMap, records, range.start, range.end,
                            &outlines);
        },
        stripeCount(int(records.size()), kMinSegmentsPerStripe));

    // The tracking points in segment order, then vertex order: each vertex
    // refers to the earliest tracking point within reach, or to a new one
    // made at the vertex.
    for (size_t i = 0; i < records.size(); ++i) {
        SegmentRecord* record = records[i];
        const SegmentOutline& outline = outlines.outline[i];
        record->rectX = outline.rect[0];
        record->rectY = outline.rect[1];
        record->rectWidth = outline.rect[2];
        record->rectHeight = outline.rect[3];

        CvSeq* points = record->points;
        for (const CvPoint& vertex : outline.vertices) {
            TrackPoint* ref = index.findEarliest(vertex);
            if (ref == nullptr) {
                TrackPoint point = {};
                point.x = vertex.x;
                point.y = vertex.y;
                ref = (TrackPoint*)cvSeqPush(trackPoints, &point);
                index.add(vertex, ref);
            }
            cvSeqPush(points, &ref);
        }
    }
}
