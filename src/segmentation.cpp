// Region segmentation: a raster scan measures every region that no segment
// has taken yet by walking its outline, then makes it a new segment (long
// outline) or merges it into its most similar neighbour (middling or short
// outline).
#include "segmentation.h"

#include "contour_visitors.h"
#include "contour_walk.h"

#include <cassert>
#include <climits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
    Label16Reader label; // labelMap read as cvGetSegIndex reads it
    unsigned short* labelData;
    unsigned short* walkData;
    int cols;
};

// The fills work on runs of the level along a row, found eight pixels at a
// time; most pixels of a box hold other values.

// First column in [x, last] of row whose value is a (Equal) or is not a
// (!Equal); last + 1 if none.
template <bool Equal>
int findFirst(const unsigned short* row, int x, int last, unsigned short a)
{
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi16(short(a));
    for (; x + 7 <= last; x += 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        int hits = _mm_movemask_epi8(_mm_cmpeq_epi16(v, want));
        if (!Equal)
            hits ^= 0xffff;
        if (hits != 0)
            return x + __builtin_ctz(unsigned(hits)) / 2;
    }
#endif
    while (x <= last && (row[x] == a) != Equal)
        ++x;
    return x;
}

// Last column in [first, x] of row whose value is a (Equal) or is not a
// (!Equal); first - 1 if none.
template <bool Equal>
int findLast(const unsigned short* row, int first, int x, unsigned short a)
{
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi16(short(a));
    for (; x - 7 >= first; x -= 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 7));
        int hits = _mm_movemask_epi8(_mm_cmpeq_epi16(v, want));
        if (!Equal)
            hits ^= 0xffff;
        if (hits != 0)
            return x - 7 + (31 - __builtin_clz(unsigned(hits))) / 2;
    }
#endif
    while (x >= first && (row[x] == a) != Equal)
        --x;
    return x;
}

// Writes a into to[x] wherever from[x] holds a, for x in [x, last].
inline void copyWhereEqual(const unsigned short* from, unsigned short* to,
                           int x, int last, unsigned short a)
{
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi16(short(a));
    for (; x + 7 <= last; x += 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x));
        const __m128i hits = _mm_cmpeq_epi16(v, want);
        __m128i* out = reinterpret_cast<__m128i*>(to + x);
        const __m128i old = _mm_loadu_si128(out);
        _mm_storeu_si128(out, _mm_or_si128(_mm_and_si128(hits, want),
                                           _mm_andnot_si128(hits, old)));
    }
#endif
    for (; x <= last; ++x)
        if (from[x] == a)
            to[x] = a;
}

// Writes target into both maps at columns from..to of row y.
inline void fillSpan(const LevelMaps& maps, int y, int from, int to,
                     unsigned short target)
{
    const size_t row = (size_t)y * maps.cols;
    for (int x = from; x <= to; ++x) {
        maps.labelData[row + x] = target;
        maps.walkData[row + x] = target;
    }
}

// Spreads target row by row from the marked outline over the pixels of
// level `level` inside the box, and copies every pixel that holds target
// into walkMap so that both maps agree again.
//
// A pixel of the level takes target when one of its four neighbours holds
// it at the moment the pass reaches the pixel. Along a run of the level
// that is the first pixel whose upper or lower neighbour holds target (or
// the run's first pixel, by its left neighbour, or its last, by its right
// one), and from there every pixel to the run's end, each by the one just
// filled on its left. A pixel is written only while the pass stands on it,
// so the copy of a row's target pixels can come first.
void forwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                 int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
    const Label16Reader& map = maps.label;
    const int first = boxMin[0];
    const int last = boxMax[0];
    for (int y = boxMin[1]; y <= boxMax[1]; ++y) {
        unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        unsigned short* walkRow = maps.walkData + (size_t)y * maps.cols;
        copyWhereEqual(labelRow, walkRow, first, last, label16);
        if (level16 == label16)
            continue;
        const auto touchesVertically = [&](int x) {
            return map(x, y + 1) == target || map(x, y - 1) == target;
        };
        for (int start = findFirst<true>(labelRow, first, last, level16);
             start <= last;) {
            const int end = findFirst<false>(labelRow, start, last, level16);
            int x = start;
            bool hit = map(start - 1, y) == target || touchesVertically(start);
            while (!hit && ++x < end)
                hit = touchesVertically(x);
            if (!hit && map(end, y) == target) {
                x = end - 1;
                hit = true;
            }
            if (hit)
                fillSpan(maps, y, x, end - 1, label16);
            start = findFirst<true>(labelRow, end, last, level16);
        }
    }
}

// Sweeps the box from the bottom-right corner back, so that target also
// reaches pixels of the level that the forward pass could only reach from
// below or from the right; runs are taken from their right end, as the
// forward pass takes them from their left one. The box's top row and left
// column are skipped; target is a new label, so it never equals the level.
void backwardFill(const LevelMaps& maps, const int* boxMin, const int* boxMax,
                  int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
    const Label16Reader& map = maps.label;
    const int first = boxMin[0] + 1;
    for (int y = boxMax[1]; y > boxMin[1]; --y) {
        const unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
        const auto touchesVertically = [&](int x) {
            return map(x, y + 1) == target || map(x, y - 1) == target;
        };
        for (int end = findLast<true>(labelRow, first, boxMax[0], level16);
             end >= first;) {
            const int start = findLast<false>(labelRow, first, end, level16);
            int x = end;
            bool hit = map(end + 1, y) == target || touchesVertically(end);
            while (!hit && --x > start)
                hit = touchesVertically(x);
            if (!hit && map(start, y) == target) {
                x = start + 1;
                hit = true;
            }
            if (hit)
                fillSpan(maps, y, start + 1, x, label16);
            end = findLast<true>(labelRow, first, start, level16);
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

// Writes target into labelMap at each recorded outline point and sets the
// box to that of (x, y) and the points. For an outline that the measuring
// walk recorded whole, this is what markOutline does: walkMap equals
// labelMap, so its walk from (x, y) reports the same points.
void markRecordedOutline(const LevelMaps& maps, const CvPoint* points,
                         int count, int x, int y, int target, int* boxMin,
                         int* boxMax)
{
    const unsigned short label16 = (unsigned short)target;
    boxMin[0] = boxMax[0] = x;
    boxMin[1] = boxMax[1] = y;
    for (int i = 0; i < count; ++i) {
        const CvPoint p = points[i];
        boxMin[0] = p.x < boxMin[0] ? p.x : boxMin[0];
        boxMin[1] = p.y < boxMin[1] ? p.y : boxMin[1];
        boxMax[0] = p.x > boxMax[0] ? p.x : boxMax[0];
        boxMax[1] = p.y > boxMax[1] ? p.y : boxMax[1];
        maps.labelData[(size_t)p.y * maps.cols + p.x] = label16;
    }
}

} // namespace

int segmentRegions(CvMat* labelMap, CvMat* walkMap, const unsigned char* grey,
                   CvMemStorage* storage, CvSeq* segments, int labelCounter)
{
    assert(isLabel16Map(labelMap) && isLabel16Map(walkMap));
    LevelMaps maps = {Label16Reader(labelMap), nullptr, nullptr, 0};
    maps.labelData = (unsigned short*)labelMap->data.ptr;
    maps.walkData = (unsigned short*)walkMap->data.ptr;
    maps.cols = labelMap->cols;
    const int rows = labelMap->rows;

    CvSeqWriter writer;
    cvStartAppendToSeq(segments, &writer);
    // The points of the current measuring walk.
    CvPoint outline[kMeasureLimit];

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
            measureRegion(&measure, x, y, outline);
            const int count = measure.count;
            const int best = measure.bestLabel;

            if (count < kShortOutline) {
                overwriteLevelInBox(maps, boxMin, boxMax, best, level);
            } else if (count < kLongOutline) {
                // Middling: the outline takes the neighbour's value and the
                // forward pass fills inward. The measuring walk has seen the
                // whole outline.
                markRecordedOutline(maps, outline, count, x, y, best, boxMin,
                                    boxMax);
                forwardFill(maps, boxMin, boxMax, best, level);
            } else if (labelCounter >= kMaxSegmentLabel) {
                // Long once no label is left: merged like a middling one.
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
