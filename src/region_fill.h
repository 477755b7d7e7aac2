// The fills of the region segmentation: spreading a value from a marked
// outline over the pixels of a level, row by row, along runs of the level.
#ifndef OF_ULK_REGION_FILL_H
#define OF_ULK_REGION_FILL_H

#include "contour_walk.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Both 16-bit maps of the segmentation and their shared geometry.
struct LevelMaps {
    Label16Reader label; // labelMap read as cvGetSegIndex reads it
    unsigned short* labelData;
    unsigned short* walkData;
    int cols;
};

// First column in [x, last] of row whose value is a (Equal) or is not a
// (!Equal); last + 1 if none. The row holds width values. Eight pixels at a
// time: most pixels of a box hold other values, and most boxes are a few
// pixels wide, so the last eight are read whole (the row's values past last
// are read and left out) unless the row ends first.
template <bool Equal>
int findFirst(const unsigned short* row, int x, int last, unsigned short a,
              int width)
{
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi16(short(a));
    for (; x <= last && x + 7 < width; x += 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        unsigned hits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, want)));
        if (!Equal)
            hits ^= 0xffffu;
        // Two bits a pixel; none for those past last. Without a branch:
        // where the row ends follows the texture.
        hits &= 0xffffu >> (2 * (8 - std::min(last - x + 1, 8)));
        if (hits != 0)
            return x + __builtin_ctz(hits) / 2;
    }
    if (x > last)
        return last + 1;
#else
    (void)width;
#endif
    while (x <= last && (row[x] == a) != Equal)
        ++x;
    return x;
}

// Last column in [first, x] of row whose value is a (Equal) or is not a
// (!Equal); first - 1 if none. As findFirst, eight at a time, the first
// eight read whole unless the row begins first.
template <bool Equal>
int findLast(const unsigned short* row, int first, int x, unsigned short a)
{
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi16(short(a));
    for (; x >= first && x >= 7; x -= 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 7));
        unsigned hits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, want)));
        if (!Equal)
            hits ^= 0xffffu;
        // Pixels before first are left out, as in findFirst.
        hits &= (0xffffu << (2 * (8 - std::min(x - first + 1, 8)))) & 0xffffu;
        if (hits != 0)
            return x - 7 + (31 - __builtin_clz(hits)) / 2;
    }
    if (x < first)
        return first - 1;
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

// Writes target into both maps at columns from..to of row y, eight pixels
// at a time: most spans are short, and the last eight of a span are written
// whole (the pixels past `to` with their own values) unless the row ends
// first.
inline void fillSpan(const LevelMaps& maps, int y, int from, int to,
                     unsigned short target)
{
    const size_t row = (size_t)y * maps.cols;
    unsigned short* label = maps.labelData + row;
    unsigned short* walk = maps.walkData + row;
    int x = from;
#ifdef __SSE2__
    const __m128i value = _mm_set1_epi16(short(target));
    const __m128i lane = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    for (; x <= to && x + 7 < maps.cols; x += 8) {
        // All ones in the lanes up to `to`.
        const __m128i take = _mm_cmplt_epi16(
            lane, _mm_set1_epi16(short(std::min(to - x + 1, 8))));
        for (unsigned short* map : {label, walk}) {
            __m128i* at = reinterpret_cast<__m128i*>(map + x);
            const __m128i old = _mm_loadu_si128(at);
            _mm_storeu_si128(at, _mm_or_si128(_mm_and_si128(take, value),
                                              _mm_andnot_si128(take, old)));
        }
    }
#endif
    for (; x <= to; ++x) {
        label[x] = target;
        walk[x] = target;
    }
}

// The forward pass over columns first..last of row y: every pixel of the
// level whose down, left, up or right neighbour holds target when the pass
// reaches it takes target in both maps.
//
// Along a run of the level that is the first pixel whose upper or lower
// neighbour holds target (or the run's first pixel, by its left neighbour,
// or its last, by its right one), and from there every pixel to the run's
// end, each by the one just filled on its left.
inline void forwardRow(const LevelMaps& maps, int y, int first, int last,
                       int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
    const Label16Reader& map = maps.label;
    const unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
    const auto touchesVertically = [&](int x) {
        return map(x, y + 1) == target || map(x, y - 1) == target;
    };
    for (int start = findFirst<true>(labelRow, first, last, level16, maps.cols);
         start <= last;) {
        const int end =
            findFirst<false>(labelRow, start, last, level16, maps.cols);
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
        start = findFirst<true>(labelRow, end, last, level16, maps.cols);
    }
}

// The backward pass over columns first..last of row y, from the right:
// runs of the level are taken from their right end, as the forward pass
// takes them from their left one.
inline void backwardRow(const LevelMaps& maps, int y, int first, int last,
                        int target, int level)
{
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
    const Label16Reader& map = maps.label;
    const unsigned short* labelRow = maps.labelData + (size_t)y * maps.cols;
    const auto touchesVertically = [&](int x) {
        return map(x, y + 1) == target || map(x, y - 1) == target;
    };
    for (int end = findLast<true>(labelRow, first, last, level16);
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

// Fills a new segment from its marked outline: what a forward sweep of the
// box (rows down, columns right) and a backward sweep (rows up, columns
// left, the box's top row and left column left out) of forwardRow and
// backwardRow would do, with every pixel of label copied into walkMap, but
// visiting only the pixels that can change. label is a new value that no
// pixel held before the outline was marked, so a pixel of the level can
// only take it through a chain of level pixels from the outline: the sweeps
// run over the runs of level-or-label pixels that are connected, inside the
// box, to the seed pixel. walkMap must hold the level on every pixel of the
// region, as it does after the outline marking. The scratch is kept between
// regions of one segmentation.
class SegmentFiller {
  public:
    void fill(const LevelMaps& maps, int seedX, int seedY, const int* boxMin,
              const int* boxMax, int label, int level);

  private:
    struct Run {
        int y, first, last;
    };

    void collectRuns(const LevelMaps& maps, int seedX, int seedY,
                     const int* boxMin, const int* boxMax, unsigned short label,
                     unsigned short level);

    std::vector<Run> runs_;      // the region's runs, in flood order
    std::vector<CvPoint> stack_; // runs still to take, by a pixel of each
};

#endif
