// Segment outlines and tracking points: each segment's outline is walked,
// simplified to a polygon, and its vertices become tracking points shared by
// all segments that have a vertex near them.
#include "engine/track_points.h"

#include "engine/contour_walk.h"
#include "engine/parallel_bands.h"
#include "engine/track_point_index.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ulk {

namespace {

// Segments per parallel stripe of the outline walks at least.
const int kMinSegmentsPerStripe = 16;

// Rows of the label map per parallel stripe of its neighbour masks at
// least.
const int kMinMaskRowsPerStripe = 32;

// Walks and simplifies the outlines of segments [first, end) that are not
// walked yet, on the final label map, which every walk only reads. The
// walks of a stripe share a scratch storage of their own. masks, when
// given, are the map's neighbour masks.
void outlineSegments(const CvMat* labelMap, const unsigned char* masks,
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
                           &outlines->outline[size_t(i)], masks);
        }
    } catch (...) {
        cvReleaseMemStorage(&scratch);
        throw;
    }
    cvReleaseMemStorage(&scratch);
}

} // namespace

void buildTrackPoints(const CvMat* labelMap, CvSeq* segments,
                      CvSeq* trackPoints, CvMemStorage* storage,
                      SegmentOutlines* ready,
                      std::vector<unsigned char>* measured,
                      unsigned char* maskRoom)
{
    (void)storage;
    TrackPointIndex index(labelMap->cols, labelMap->rows);
    std::vector<TrackPoint*> indexed; // by index entry
    CvSeqReader pointReader;
    cvStartReadSeq(trackPoints, &pointReader, 0);
    for (int i = 0; i < trackPoints->total; ++i) {
        TrackPoint* point = (TrackPoint*)pointReader.ptr;
        int position[2];
        std::memcpy(position, point, sizeof(position));
        index.add(cvPoint(position[0], position[1]));
        indexed.push_back(point);
        CV_NEXT_SEQ_ELEM(trackPoints->elem_size, pointReader);
    }
    // The points made before came with no motion.
    if (measured)
        measured->assign(indexed.size(), 0);

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
    // With every outline still to walk, the masks pay for themselves: a
    // walk's step then waits on two loads instead of on a gather of eight
    // neighbours. Beside a scan that walked most outlines they would not.
    const bool noneWalked =
        std::none_of(outlines.walked.begin(), outlines.walked.end(),
                     [](unsigned char walked) { return walked != 0; });
    const unsigned char* masks = nullptr;
    if (maskRoom && noneWalked && !records.empty()) {
        const Label16Reader read(labelMap);
        cv::parallel_for_(
            cv::Range(0, labelMap->rows),
            [&](const cv::Range& rows) {
                read.neighbourMasks(maskRoom, rows.start, rows.end);
            },
            stripeCount(labelMap->rows, kMinMaskRowsPerStripe));
        masks = maskRoom;
    }
    cv::parallel_for_(
        cv::Range(0, int(records.size())),
        [&](const cv::Range& range) {
            outlineSegments(labelMap, masks, records, range.start, range.end,
                            &outlines);
        },
        stripeCount(int(records.size()), kMinSegmentsPerStripe));

    std::vector<TrackPoint*> refs; // one segment's point references
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

        refs.clear();
        for (size_t k = 0; k < outline.vertices.size(); ++k) {
            const CvPoint vertex = outline.vertices[k];
            const int earliest = index.findEarliest(vertex);
            TrackPoint* ref;
            if (earliest >= 0) {
                ref = indexed[size_t(earliest)];
            } else {
                TrackPoint point = {};
                point.x = vertex.x;
                point.y = vertex.y;
                const bool withMotion =
                    !outline.motion.empty() && outline.motion[k].measured;
                if (withMotion) {
                    point.vx = outline.motion[k].vx;
                    point.vy = outline.motion[k].vy;
                    point.valid = outline.motion[k].valid;
                }
                ref = (TrackPoint*)cvSeqPush(trackPoints, &point);
                index.add(vertex);
                indexed.push_back(ref);
                if (measured)
                    measured->push_back(withMotion);
            }
            refs.push_back(ref);
        }
        // The references of a segment in one go.
        cvSeqPushMulti(record->points, refs.data(), int(refs.size()));
    }
}

} // namespace ulk
