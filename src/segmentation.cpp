// Region segmentation: a raster scan measures every region that no segment
// has taken yet by walking its outline, then makes it a new segment (long
// outline) or merges it into its most similar neighbour (middling or short
// outline).
#include "segmentation.h"

#include "contour_visitors.h"
#include "contour_walk.h"

#include <climits>

namespace {

// Outlines of at least this many points (the measuring walk's cap) make a
// new segment.
const int kLongOutline = kMeasureLimit;
// Outlines of fewer points are merged by overwriting their level in the box.
const int kShortOutline = 20;
// Map values up to this one are grey levels, not segment labels.
const int kLastLevelValue = 64;

// Both 16-bit maps of the scan and their shared geometry.
struct LevelMaps {
    CvMat* label;
    unsigned short* labelData;
    unsigned short* walkData;
    int cols;
};

// True when one of the four side neighbours of (x, y), tested down, left,
// up, right, holds target in labelMap; positions outside the map read 0.
bool touchesLabel(const CvMat* labelMap, int x, int y, int target)
{
    return cvGetSegIndex(labelMap, x, y + 1) == target ||
           cvGetSegIndex(labelMap, x - 1, y) == target ||
           cvGetSegIndex(labelMap, x, y - 1) == target ||
           cvGetSegIndex(labelMap, x + 1, y) == target;
}

// Spreads target row by row from the marked outline over the pixels of
// level `level` inside the box, and copies every pixel that holds target
// into walkMap so that both maps agree again.
void forwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                 int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    for (int y = boxMin[1]; y <= boxMax[1]; ++y) {
        unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        unsigned short* walkRow = maps.walkData + (size_t)y * maps.cols;
        for (int x = boxMin[0]; x <= boxMax[0]; ++x) {
            const int w = labelRow[x];
            if (w == label16) {
                walkRow[x] = label16;
            } else if (w == level && touchesLabel(maps.label, x, y, target)) {
                labelRow[x] = label16;
                walkRow[x] = label16;
            }
        }
    }
}

// Sweeps the box from the bottom-right corner back, so that target also
// reaches pixels of the level that the forward pass could only reach from
// below or from the right. The box's top row and left column are skipped;
// target is a new label, so it never equals the level.
void backwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                  int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    for (int y = boxMax[1]; y > boxMin[1]; --y) {
        unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        unsigned short* walkRow = maps.walkData + (size_t)y * maps.cols;
        for (int x = boxMax[0]; x > boxMin[0]; --x) {
            if (labelRow[x] == level &&
                touchesLabel(maps.label, x, y, target)) {
                labelRow[x] = label16;
                walkRow[x] = label16;
            }
        }
    }
}

// Gives every pixel of level `level` inside the box the value target,
// connected to the measured region or not.
void overwriteLevelInBox(const LevelMaps& maps, const int* boxMin,
                         const int* boxMax, int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    for (int y = boxMin[1]; y <= boxMax[1]; ++y) {
        unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        unsigned short* walkRow = maps.walkData + (size_t)y * maps.cols;
        for (int x = boxMin[0]; x <= boxMax[0]; ++x) {
            if (labelRow[x] == level) {
                labelRow[x] = label16;
                walkRow[x] = label16;
            }
        }
    }
}

} // namespace

int segmentRegions(CvMat* labelMap, CvMat* walkMap, const unsigned char* grey,
                   CvMemStorage* storage, CvSeq* segments, int labelCounter)
{
    LevelMaps maps;
    maps.label = labelMap;
    maps.labelData = (unsigned short*)labelMap->data.ptr;
    maps.walkData = (unsigned short*)walkMap->data.ptr;
    maps.cols = labelMap->cols;
    const int rows = labelMap->rows;

    CvSeqWriter writer;
    cvStartAppendToSeq(segments, &writer);

    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < maps.cols; ++x) {
            const int level = maps.labelData[(size_t)y * maps.cols + x];
            if (level > kLastLevelValue)
                continue;

            // Measure the region: outline length (capped), box and the
            // neighbouring value of most similar grey.
            int boxMin[2] = {x, y};
            int boxMax[2] = {x, y};
            SegmentMeasure measure;
            measure.map = labelMap;
            measure.grey = grey;
            measure.bestLabel = 0;
            measure.bestDiff = INT_MAX;
            measure.count = 0;
            measure.boxMin = boxMin;
            measure.boxMax = boxMax;
            traceContour(measureSegmentPoint, labelMap, x, y, &measure);
            const int count = measure.count;
            const int best = measure.bestLabel;

            if (count < kShortOutline) {
                overwriteLevelInBox(maps, boxMin, boxMax, best, level);
            } else if (count < kLongOutline ||
                       labelCounter >= kMaxSegmentLabel) {
                // Middling, or long once no label is left: the outline takes
                // the neighbour's value and the forward pass fills inward.
                markOutline(walkMap, labelMap, x, y, best, boxMin, boxMax);
                forwardFill(maps, boxMin, boxMax, best, level);
            } else {
                const int label = ++labelCounter;
                markOutline(walkMap, labelMap, x, y, label, boxMin, boxMax);
                forwardFill(maps, boxMin, boxMax, label, level);
                backwardFill(maps, boxMin, boxMax, label, level);

                // Rectangle, mean grey and pixel count are filled by later
                // stages.
                SegmentRecord record = {};
                record.label = label;
                record.startX = x;
                record.startY = y;
                record.points =
                    cvCreateSeq(0, sizeof(CvSeq), sizeof(TrackPoint*), storage);
                CV_WRITE_SEQ_ELEM_VAR(&record, writer);
            }
        }
    }

    cvEndWriteSeq(&writer);
    return labelCounter;
}
