// Segment outlines and tracking points: each segment's outline is walked,
// simplified to a polygon, and its vertices become tracking points shared by
// all segments that have a vertex near them.
#include "track_points.h"

#include "contour_visitors.h"

#include <opencv2/imgproc/imgproc_c.h>

#include <cassert>
#include <cstdint>
#include <cstring>

namespace {

// Two positions at most this far apart (squared) are one tracking point.
const int kSameTrackPointDist2 = 64;

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
    // 64-bit so that far-apart positions cannot overflow; for image
    // coordinates the sum is the same as in 32 bits.
    const int64_t dx = (int64_t)pa[0] - pb[0];
    const int64_t dy = (int64_t)pa[1] - pb[1];
    return dx * dx + dy * dy <= kSameTrackPointDist2 ? 0 : -1;
}

void buildTrackPoints(const CvMat* labelMap, CvSeq* segments,
                      CvSeq* trackPoints, CvMemStorage* storage)
{
    // The first outline creates the buffer; every later one refills the
    // previous segment's polygon, so the storage grows by one polygon per
    // segment.
    CvSeq* outline = nullptr;

    CvSeqReader segReader;
    cvStartReadSeq(segments, &segReader, 0);
    for (int i = 0; i < segments->total; ++i) {
        SegmentRecord* record = (SegmentRecord*)segReader.ptr;

        int rect[4];
        extractOutline(labelMap, record->startX, record->startY, storage,
                       &outline, rect);
        record->rectX = rect[0];
        record->rectY = rect[1];
        record->rectWidth = rect[2];
        record->rectHeight = rect[3];

        outline = (CvSeq*)cvApproxPoly(outline, sizeof(CvContour), storage,
                                       CV_POLY_APPROX_DP, kPolygonAccuracy, 1);

        // Each vertex refers to the earliest tracking point within reach,
        // or to a new one made at the vertex.
        CvSeq* points = record->points;
        CvSeqReader vertexReader;
        cvStartReadSeq(outline, &vertexReader, 0);
        for (int j = 0; j < outline->total; ++j) {
            CvPoint vertex;
            std::memcpy(&vertex, vertexReader.ptr, sizeof(vertex));
            CV_NEXT_SEQ_ELEM(sizeof(CvPoint), vertexReader);

            int foundIndex = 0;
            schar* found = cvSeqSearch(trackPoints, &vertex, cvCmpTrackPoints,
                                       0, &foundIndex, nullptr);
            if (found == nullptr) {
                TrackPoint point = {};
                point.x = vertex.x;
                point.y = vertex.y;
                found = cvSeqPush(trackPoints, &point);
            }
            TrackPoint* ref = (TrackPoint*)found;
            cvSeqPush(points, &ref);
        }

        CV_NEXT_SEQ_ELEM(segments->elem_size, segReader);
    }
}
