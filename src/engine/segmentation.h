// Region segmentation: turns the level maps into labelled segments.
#ifndef OF_ULK_SEGMENTATION_H
#define OF_ULK_SEGMENTATION_H

#include "cvoptflowulk.h"

namespace ulk {

// The label counter starts here, so the first segment is 65.
const int kFirstLabelCounter = 64;
// Largest label that still reads back positive from a 16-bit map; beyond
// it a long region is merged like a middling one.
const int kMaxSegmentLabel = 32767;

// What segmentRegions does, told region by region as it goes, so that work
// on segments that can no longer change may start before the scan ends.
class SegmentationListener {
  public:
    virtual ~SegmentationListener() = default;
    // A new segment with this label starts at (x, y); its pixels follow.
    virtual void newSegment(int label, int x, int y) = 0;
    // value has been written into labelMap, at pixels of rows
    // minRow..maxRow only.
    virtual void wrote(int value, int minRow, int maxRow) = 0;
    // Every region that starts in rows 0..y has been handled.
    virtual void rowDone(int y) = 0;
};

// Scans labelMap in raster order and labels, merges or records every region
// that no segment has taken yet. markMap is scratch of the same geometry
// that must hold no label that the scan makes (a copy of labelMap does);
// the fills leave marks in it. grey is the preprocessed frame (row length
// = cols).
// Appends one SegmentRecord per new segment to segments, each with an empty
// point list in storage. labelCounter is the counter's start value (tests
// may start it high). Returns the counter's final value. A listener, when
// given, hears of every write into labelMap.
int segmentRegions(CvMat* labelMap, CvMat* markMap, const unsigned char* grey,
                   CvMemStorage* storage, CvSeq* segments,
                   int labelCounter = kFirstLabelCounter,
                   SegmentationListener* listener = nullptr);

} // namespace ulk

#endif
