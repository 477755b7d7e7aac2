// Segmentation with the outline walks of finished segments on a second
// thread: the walks of most segments overlap the raster scan.
#ifndef OF_ULK_OUTLINE_OVERLAP_H
#define OF_ULK_OUTLINE_OVERLAP_H

#include "cvoptflowulk.h"
#include "engine/segment_outline.h"
#include "engine/segmentation.h"

#include <functional>

namespace ulk {

// Rows that the scan leaves between itself and the rows whose segments it
// hands over. A merged region walks fewer than kMeasureLimit outline
// points, so its box spans at most about half as many rows, and most span
// far fewer: few merges reach back this far. A write that does reach a
// segment above the line (or one already handed over) only makes that
// segment be walked again at the end.
const int kOutlineLag = 32;

// Work that the second stripe does beside the scan; neither part may touch
// what the scan reads or writes. Without a second stripe beside the scan,
// the call runs `first` after the scan, and `eachOutline` never runs.
struct BesideScan {
    std::function<void()> first; // before any walk
    // After each walk, with the segment's index.
    std::function<void(int, SegmentOutline*)> eachOutline;
};

// segmentRegions(labelMap, markMap, grey, storage, segments), and the
// outlines of the segments that it made, by segment index, in *outlines:
// those marked as walked are exactly what outlineSegment gives on the
// final label map. With more than one OpenCV thread, segments that the
// scan has left at least `lag` rows behind are walked on a copy of their
// rows by a second stripe while the scan goes on; with one thread, or when
// no second stripe runs alongside, none is walked. snapshot is room for a
// copy of labelMap. segments must be empty on entry. Returns the label
// counter's final value.
int segmentWithOutlines(CvMat* labelMap, CvMat* markMap,
                        const unsigned char* grey, CvMemStorage* storage,
                        CvSeq* segments, unsigned short* snapshot,
                        SegmentOutlines* outlines,
                        const BesideScan& beside = BesideScan(),
                        int lag = kOutlineLag);

// segmentWithOutlines with every segment walked on the calling thread the
// moment it is handed over, the earliest that any walk can happen: for
// tests of the hand-over rule.
int segmentWithEagerOutlines(CvMat* labelMap, CvMat* markMap,
                             const unsigned char* grey, CvMemStorage* storage,
                             CvSeq* segments, unsigned short* snapshot,
                             SegmentOutlines* outlines, int lag);

} // namespace ulk

#endif
