// Region segmentation: a raster scan measures every region that no segment
// has taken yet by walking its outline, then makes it a new segment (long
// outline) or merges it into its most similar neighbour (middling or short
// outline).
#include "engine/segmentation.h"

#include "engine/contour_visitors.h"
#include "engine/contour_walk.h"
#include "engine/region_fill.h"
#include "engine/vector_paths.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <vector>

namespace ulk {

namespace {

// Outlines of at least this many points (the measuring walk's cap) make a
// new segment.
const int kLongOutline = kMeasureLimit;
// Outlines of fewer points are merged by overwriting their level in the box.
const int kShortOutline = 20;
// Map values up to this one are grey levels, not segment labels.
const int kLastLevelValue = 64;
// A new segment's box is swept whole while it holds at most this many
// pixels per outline point; a larger box (a thin or diagonal region) is
// filled along the runs of the region only. Either gives the same maps; the
// sweep is cheaper for compact regions, and the bound keeps its cost within
// a multiple of the outline walk's.
const int kSweepAreaPerOutlinePoint = 24;

// First column in [x, last] of row that holds a level value (at most
// kLastLevelValue), last + 1 if none; eight pixels at a time, as most of a
// row already holds segment labels when the scan reaches it.
int findLevelValue(const unsigned short* row, int x, int last)
{
#ifdef __SSE2__
    const __m128i highest = _mm_set1_epi16(short(kLastLevelValue));
    const __m128i zero = _mm_setzero_si128();
    for (; x + 7 <= last; x += 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        // v - highest saturates to 0 exactly where v <= highest.
        const int hits = _mm_movemask_epi8(
            _mm_cmpeq_epi16(_mm_subs_epu16(v, highest), zero));
        if (hits != 0)
            return x + __builtin_ctz(unsigned(hits)) / 2;
    }
#endif
    while (x <= last && row[x] > kLastLevelValue)
        ++x;
    return x;
}

// Spreads target row by row from the marked outline over the pixels of
// level `level` inside the box. With levelLeft given, it holds for each row
// of the box (from the top) whether the pass left a pixel of the level
// there.
void forwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                 int target, int level,
                 std::vector<unsigned char>* levelLeft = nullptr)
{
    const unsigned short label16 = (unsigned short)target;
    if (levelLeft)
        levelLeft->assign(size_t(boxMax[1] - boxMin[1] + 1), 1);
    if (level != label16)
        forwardRows(maps, boxMin[1], boxMax[1], boxMin[0], boxMax[0], target,
                    level, levelLeft ? levelLeft->data() : nullptr);
}

// Sweeps the box from the bottom-right corner back, so that target also
// reaches pixels of the level that the forward pass could only reach from
// below or from the right. The box's top row and left column are skipped,
// and so are the rows where the forward pass left no pixel of the level
// (levelLeft, from forwardFill): only those pixels can change. target is a
// new label, so it never equals the level.
void backwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                  int target, int level,
                  const std::vector<unsigned char>& levelLeft)
{
    for (int y = boxMax[1]; y > boxMin[1]; --y)
        if (levelLeft[size_t(y - boxMin[1])])
            backwardRow(maps, y, boxMin[0] + 1, boxMax[0], target, level);
}

// Gives every pixel of level `level` inside the box the value target,
// connected to the measured region or not. The boxes are a few pixels wide
// and which of their pixels hold the level follows the texture, so each
// pixel is written, with its own value or target, instead of tested by a
// branch; eight at a time (the pixels past the box with their own values)
// while the row goes on.
void overwriteLevelInBox(const LevelMaps& maps, const int* boxMin,
                         const int* boxMax, int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
#ifdef __SSE2__
    const __m128i value = _mm_set1_epi16(short(label16));
    const __m128i wanted = _mm_set1_epi16(short(level16));
    const __m128i lane = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
#endif
    for (int y = boxMin[1]; y <= boxMax[1]; ++y) {
        unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        int x = boxMin[0];
#ifdef __SSE2__
        for (; x <= boxMax[0] && x + 8 <= maps.cols; x += 8) {
            // All ones where the pixel lies in the box and holds the level.
            const __m128i take = _mm_and_si128(
                _mm_cmpeq_epi16(
                    _mm_loadu_si128(
                        reinterpret_cast<const __m128i*>(labelRow + x)),
                    wanted),
                _mm_cmplt_epi16(lane, _mm_set1_epi16(short(
                                          std::min(boxMax[0] - x + 1, 8)))));
            storeWhere(labelRow + x, take, value);
        }
#endif
        for (; x <= boxMax[0]; ++x) {
            // All ones where the pixel holds the level, by arithmetic, so
            // that the compiler does not turn the writes back into a test.
            const unsigned short take =
                (unsigned short)-(unsigned short)(labelRow[x] == level16);
            labelRow[x] =
                (unsigned short)((labelRow[x] & ~take) | (label16 & take));
        }
    }
}

// markOutline of a region that gets a new label, from what its measuring
// walk left (the points and the box): a walk that the limit cut short goes
// on from where it stood, on the map as the measure saw it, and then every
// point is marked. The box stays the measure's, extended by the points after
// the cut. rest is scratch. Returns the number of reported points.
int markMeasuredOutline(CvMat* labelMap, const CvPoint* points, int count,
                        const WalkState& cut, int label, int* boxMin,
                        int* boxMax, std::vector<CvPoint>* rest)
{
    const int recorded = count < kMeasureLimit ? count : kMeasureLimit;
    rest->clear();
    if (count > kMeasureLimit)
        restOfOutline(labelMap, cut, rest);
    markPoints(labelMap, points, size_t(recorded), label);
    markPoints(labelMap, rest->data(), rest->size(), label);
    extendBox(rest->data(), rest->size(), boxMin, boxMax);
    return recorded + int(rest->size());
}

} // namespace

int segmentRegions(CvMat* labelMap, CvMat* markMap, const unsigned char* grey,
                   CvMemStorage* storage, CvSeq* segments, int labelCounter,
                   SegmentationListener* listener)
{
    assert(isLabel16Map(labelMap) && isLabel16Map(markMap));
    LevelMaps maps = {Label16Reader(labelMap), nullptr, nullptr, 0};
    maps.labelData = (unsigned short*)labelMap->data.ptr;
    maps.markData = (unsigned short*)markMap->data.ptr;
    maps.cols = labelMap->cols;
    maps.shortRows = activeVectorPath() >= VectorPath::Sse2;
    const int rows = labelMap->rows;
    SegmentFiller filler;
    // The rows of a swept box where the forward pass left the level.
    std::vector<unsigned char> levelLeft;
    // Outline points beyond the measuring walk's.
    std::vector<CvPoint> walked;

    CvSeqWriter writer;
    cvStartAppendToSeq(segments, &writer);
    // The points of the current measuring walk.
    CvPoint outline[kMeasureLimit];

    for (int y = 0; y < rows; ++y) {
        const unsigned short* row = maps.labelData + (size_t)y * maps.cols;
        const int last = maps.cols - 1;
        // Each search reads the row as the regions before have left it.
        for (int x = findLevelValue(row, 0, last); x <= last;
             x = findLevelValue(row, x + 1, last)) {
            const int level = row[x];

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
            WalkState cut;
            measureRegion(&measure, x, y, outline, &cut);
            const int count = measure.count;
            const int best = measure.bestLabel;

            // The value that the region's pixels take.
            int target = best;
            if (count < kShortOutline) {
                overwriteLevelInBox(maps, boxMin, boxMax, best, level);
            } else if (count < kLongOutline) {
                // Middling: the outline takes the neighbour's value and the
                // forward pass fills inward. The measuring walk has seen the
                // whole outline.
                markPoints(labelMap, outline, size_t(count), best);
                forwardFill(maps, boxMin, boxMax, best, level);
            } else if (labelCounter >= kMaxSegmentLabel) {
                // Long once no label is left: merged like a middling one.
                markOutline(labelMap, labelMap, x, y, best, boxMin, boxMax);
                forwardFill(maps, boxMin, boxMax, best, level);
            } else {
                const int label = ++labelCounter;
                target = label;
                if (listener)
                    listener->newSegment(label, x, y);
                const int outlinePoints =
                    markMeasuredOutline(labelMap, outline, count, cut, label,
                                        boxMin, boxMax, &walked);
                const long long boxArea =
                    (long long)(boxMax[0] - boxMin[0] + 1) *
                    (boxMax[1] - boxMin[1] + 1);
                if (boxArea <=
                    (long long)kSweepAreaPerOutlinePoint * outlinePoints) {
                    forwardFill(maps, boxMin, boxMax, label, level, &levelLeft);
                    backwardFill(maps, boxMin, boxMax, label, level, levelLeft);
                } else {
                    filler.fill(maps, x, y, boxMin, boxMax, label, level);
                }

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
            // Every write of the region lies inside its box.
            if (listener)
                listener->wrote(target, boxMin[1], boxMax[1]);
        }
        if (listener)
            listener->rowDone(y);
    }

    cvEndWriteSeq(&writer);
    return labelCounter;
}

} // namespace ulk
