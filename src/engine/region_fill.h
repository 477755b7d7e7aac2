// The fills of the region segmentation: spreading a value from a marked
// outline over the pixels of a level, row by row, along runs of the level.
#ifndef OF_ULK_REGION_FILL_H
#define OF_ULK_REGION_FILL_H

#include "engine/contour_walk.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace ulk {

// The segmentation's 16-bit label map, and its scratch map of the same
// geometry, where the fill of a new segment marks the runs it has taken.
struct LevelMaps {
    Label16Reader label; // labelMap read as cvGetSegIndex reads it
    unsigned short* labelData;
    unsigned short* markData; // scratch: no pixel holds a label to come
    int cols;
    // Whether the row passes may take a row of up to 32 pixels in one go
    // (the vector path's choice; the plain code takes every row by
    // stretches).
    bool shortRows = false;
};

// One stretch of at most 64 pixels of a row, from column x0, as bits: which
// hold the level, which hold target, and which have an upper or lower
// neighbour that holds target (outside the map reads as 0, as the maps'
// reader gives it).
struct RowBits {
    std::uint64_t level;
    std::uint64_t target;
    std::uint64_t touches;
};

inline RowBits rowBits(const LevelMaps& maps, int y, int x0, int n,
                       unsigned short target, unsigned short level)
{
    const std::size_t cols = std::size_t(maps.cols);
    const unsigned short* row = maps.labelData + std::size_t(y) * cols + x0;
    // The rows above and below; a row outside the map reads as 0 and is
    // replaced by the other one (read twice), or both are left out.
    const bool hasAbove = y > 0;
    const bool hasBelow = y + 1 < maps.label.rows();
    const bool vertical = hasAbove || hasBelow;
    const unsigned short* above =
        hasAbove ? row - cols : (hasBelow ? row + cols : row);
    const unsigned short* below = hasBelow ? row + cols : above;
    const std::uint64_t all =
        n < 64 ? (std::uint64_t(1) << n) - 1 : ~std::uint64_t(0);
    RowBits bits = {0, 0, 0};
    int i = 0;
#ifdef __SSE2__
    // Sixteen pixels at a time while the row goes on; those past n are read
    // and left out.
    const int room = maps.cols - x0;
    const __m128i wantLevel = _mm_set1_epi16(short(level));
    const __m128i wantTarget = _mm_set1_epi16(short(target));
    const auto load = [](const unsigned short* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const auto mask = [](__m128i low, __m128i high) {
        return std::uint64_t(
            unsigned(_mm_movemask_epi8(_mm_packs_epi16(low, high))));
    };
    for (; i < n && i + 16 <= room; i += 16) {
        const __m128i v0 = load(row + i);
        const __m128i v8 = load(row + i + 8);
        bits.level |=
            mask(_mm_cmpeq_epi16(v0, wantLevel), _mm_cmpeq_epi16(v8, wantLevel))
            << i;
        bits.target |= mask(_mm_cmpeq_epi16(v0, wantTarget),
                            _mm_cmpeq_epi16(v8, wantTarget))
                       << i;
        if (vertical)
            bits.touches |=
                mask(_mm_or_si128(_mm_cmpeq_epi16(load(above + i), wantTarget),
                                  _mm_cmpeq_epi16(load(below + i), wantTarget)),
                     _mm_or_si128(
                         _mm_cmpeq_epi16(load(above + i + 8), wantTarget),
                         _mm_cmpeq_epi16(load(below + i + 8), wantTarget)))
                << i;
    }
#endif
    for (; i < n; ++i) {
        bits.level |= std::uint64_t(row[i] == level) << i;
        bits.target |= std::uint64_t(row[i] == target) << i;
        if (vertical)
            bits.touches |=
                std::uint64_t(above[i] == target || below[i] == target) << i;
    }
    bits.level &= all;
    bits.target &= all;
    bits.touches &= all;
    if (!hasAbove || !hasBelow)
        bits.touches |= target == 0 ? all : 0;
    return bits;
}

// A stretch's runs of the level and their neighbours, from its RowBits and
// the pixels just left and right of it (of the level: only when inside the
// pass's columns).
struct StretchRuns {
    std::uint64_t level;
    std::uint64_t touches;     // upper or lower neighbour holds target
    std::uint64_t start;       // a run's first pixel
    std::uint64_t end;         // a run's last pixel
    std::uint64_t leftTarget;  // the pixel on the left holds target
    std::uint64_t rightTarget; // the pixel on the right holds target
};

inline StretchRuns stretchRuns(const RowBits& bits, int n, bool leftLevel,
                               bool leftTarget, bool rightLevel,
                               bool rightTarget)
{
    const std::uint64_t top = std::uint64_t(1) << (n - 1);
    const std::uint64_t lv = bits.level;
    StretchRuns runs;
    runs.level = lv;
    runs.touches = bits.touches;
    runs.start = lv & ~((lv << 1) | leftLevel);
    runs.end = lv & ~((lv >> 1) | (rightLevel ? top : 0));
    runs.leftTarget = (bits.target << 1) | leftTarget;
    runs.rightTarget = (bits.target >> 1) | (rightTarget ? top : 0);
    return runs;
}

#ifdef __SSE2__
// Writes value into the eight pixels at p where take is all ones; the others
// keep their own values.
inline void storeWhere(unsigned short* p, __m128i take, __m128i value)
{
    __m128i* at = reinterpret_cast<__m128i*>(p);
    _mm_storeu_si128(at,
                     _mm_or_si128(_mm_and_si128(take, value),
                                  _mm_andnot_si128(take, _mm_loadu_si128(at))));
}
#endif

// Writes target into labelMap at the pixels of row y given by the set
// bits of filled, bit i standing for column x0 + i. Eight pixels at
// a time from the lowest set bit to the highest, each pixel with target or
// its own value, as the spans' ends follow the texture.
inline void fillBits(const LevelMaps& maps, int y, int x0, std::uint64_t filled,
                     unsigned short target)
{
    const std::size_t row = std::size_t(y) * maps.cols;
    unsigned short* label = maps.labelData + row;
    int i = filled != 0 ? __builtin_ctzll(filled) : 64;
    const int end = filled != 0 ? 64 - __builtin_clzll(filled) : 0;
#ifdef __SSE2__
    const __m128i value = _mm_set1_epi16(short(target));
    const __m128i lane = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
    for (; i < end && x0 + i + 8 <= maps.cols; i += 8) {
        // All ones in the lanes whose bit is set.
        const __m128i take = _mm_cmpeq_epi16(
            _mm_and_si128(_mm_set1_epi16(short((filled >> i) & 0xffu)), lane),
            lane);
        storeWhere(label + x0 + i, take, value);
    }
#endif
    for (; i < end; ++i) {
        if ((filled >> i) & 1)
            label[x0 + i] = target;
    }
}

#ifdef __SSE2__
// Whether columns first..last make a short row for ShortRowPass: at most 64
// pixels, inside the map with a pixel on either side, and room in the row
// for loads from first to the next multiple of 16 pixels.
inline bool isShortRow(const LevelMaps& maps, int first, int last)
{
    const int n = last - first + 1;
    return maps.shortRows && n <= 64 && first >= 1 && last + 1 < maps.cols &&
           first + ((n + 15) & ~15) <= maps.cols;
}

// forwardRow of the short row first..last (isShortRow) of any row but the
// map's top and bottom ones, in Blocks of 16 pixels, with the bit logic of
// one stretch: a row pass has a fixed cost beside its pixels, and most rows
// of a textured frame are a few pixels long. What does not depend on the
// row is set up once, for the rows of a box. Every pixel of the loads is
// written, with target where it is filled and its own value elsewhere.
template <int Blocks> class ShortRowPass {
  public:
    ShortRowPass(const LevelMaps& maps, int first, int last,
                 unsigned short target, unsigned short level)
        : column_(maps.labelData + first), cols_(std::size_t(maps.cols)),
          n_(last - first + 1),
          all_(n_ < 64 ? (std::uint64_t(1) << n_) - 1 : ~std::uint64_t(0)),
          top_(std::uint64_t(1) << (n_ - 1)), target_(target),
          wantLevel_(_mm_set1_epi16(short(level))),
          wantTarget_(_mm_set1_epi16(short(target)))
    {
        assert(isShortRow(maps, first, last) && (n_ + 15) / 16 == Blocks);
    }

    // The pass over row y; whether it left a pixel of the level.
    bool operator()(int y) const
    {
        unsigned short* row = column_ + std::size_t(y) * cols_;
        std::uint64_t lv = 0, tg = 0, touches = 0;
        for (int b = 0; b < Blocks; ++b) {
            const unsigned short* p = row + 16 * b;
            const __m128i v0 = load(p), v8 = load(p + 8);
            lv |= mask(_mm_cmpeq_epi16(v0, wantLevel_),
                       _mm_cmpeq_epi16(v8, wantLevel_))
                  << (16 * b);
            tg |= mask(_mm_cmpeq_epi16(v0, wantTarget_),
                       _mm_cmpeq_epi16(v8, wantTarget_))
                  << (16 * b);
            touches |= mask(touchesAt(p), touchesAt(p + 8)) << (16 * b);
        }
        lv &= all_;
        tg &= all_;
        // The pixels just left and right of the row, as stretchRuns takes
        // them for a row of one stretch.
        const std::uint64_t leftTarget =
            (tg << 1) | std::uint64_t(row[-1] == target_);
        const std::uint64_t rightTarget =
            (tg >> 1) | (row[n_] == target_ ? top_ : 0);
        const std::uint64_t start = lv & ~(lv << 1);
        const std::uint64_t end = lv & ~(lv >> 1);
        const std::uint64_t seeds = (lv & touches) | (start & leftTarget);
        const std::uint64_t filled =
            (lv & ~(lv + seeds)) | seeds | (end & rightTarget);

        const __m128i lane = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
        for (int i = 0; i < 16 * Blocks; i += 8) {
            const __m128i take = _mm_cmpeq_epi16(
                _mm_and_si128(_mm_set1_epi16(short((filled >> i) & 0xffu)),
                              lane),
                lane);
            storeWhere(row + i, take, wantTarget_);
        }
        return (lv & ~filled) != 0;
    }

  private:
    static __m128i load(const unsigned short* p)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static std::uint64_t mask(__m128i low, __m128i high)
    {
        return std::uint64_t(
            unsigned(_mm_movemask_epi8(_mm_packs_epi16(low, high))));
    }
    __m128i touchesAt(const unsigned short* p) const
    {
        return _mm_or_si128(_mm_cmpeq_epi16(load(p - cols_), wantTarget_),
                            _mm_cmpeq_epi16(load(p + cols_), wantTarget_));
    }

    unsigned short* column_; // row 0's pixel of column first
    std::size_t cols_;
    int n_;
    std::uint64_t all_, top_;
    unsigned short target_;
    __m128i wantLevel_, wantTarget_;
};
#endif

// The forward pass over columns first..last of row y: every pixel of the
// level whose down, left, up or right neighbour holds target when the pass
// reaches it takes target.
//
// Along a run of the level that is the first pixel whose upper or lower
// neighbour holds target (or the run's first pixel, by its left neighbour,
// or its last, by its right one), and from there every pixel to the run's
// end, each by the one just filled on its left. Only pixels of the level
// change, so the runs of a row do not depend on each other: the row is
// taken 64 pixels at a time as bit masks, and a run that goes on past a
// stretch carries whether it is filled into the next.
//
// Returns whether a pixel of the level is left in first..last: a row
// without one has nothing that a later pass could fill.
inline bool forwardRow(const LevelMaps& maps, int y, int first, int last,
                       int target, int level)
{
    assert(target == short(target) && target != level);
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
#ifdef __SSE2__
    if (isShortRow(maps, first, last) && y > 0 && y + 1 < maps.label.rows()) {
        switch ((last - first) / 16) {
        case 0:
            return ShortRowPass<1>(maps, first, last, label16, level16)(y);
        case 1:
            return ShortRowPass<2>(maps, first, last, label16, level16)(y);
        case 2:
            return ShortRowPass<3>(maps, first, last, label16, level16)(y);
        default:
            return ShortRowPass<4>(maps, first, last, label16, level16)(y);
        }
    }
#endif
    const unsigned short* labelRow =
        maps.labelData + std::size_t(y) * maps.cols;
    // The pixel left of the stretch: of the level (only inside first..last),
    // holding target, and of the level and filled.
    bool leftLevel = false;
    bool leftTarget = maps.label(first - 1, y) == target;
    bool leftFilled = false;
    std::uint64_t levelLeft = 0;
    for (int x0 = first; x0 <= last; x0 += 64) {
        const int n = std::min(64, last - x0 + 1);
        const int right = x0 + n;
        const std::uint64_t top = std::uint64_t(1) << (n - 1);
        const bool rightLevel = right <= last && labelRow[right] == level16;
        const bool rightTarget = maps.label(right, y) == target;
        // A stretch without the level fills nothing; it takes no branch of
        // its own, as whether it holds the level follows the texture.
        const StretchRuns runs =
            stretchRuns(rowBits(maps, y, x0, n, label16, level16), n, leftLevel,
                        leftTarget, rightLevel, rightTarget);
        const std::uint64_t lv = runs.level;
        const std::uint64_t seeds = (lv & runs.touches) |
                                    (runs.start & runs.leftTarget) |
                                    (lv & (leftFilled ? 1 : 0));
        // From each run's first seed to its end: adding the seeds clears a
        // run from its first seed on (later seeds stay set).
        const std::uint64_t filled =
            (lv & ~(lv + seeds)) | seeds | (runs.end & runs.rightTarget);
        fillBits(maps, y, x0, filled, label16);
        levelLeft |= lv & ~filled;
        leftFilled = rightLevel && (filled & top) != 0;
        // The last pixel, for a run that starts the next stretch: not of
        // the level then, so not written here.
        leftLevel = (lv & top) != 0;
        leftTarget = labelRow[right - 1] == label16;
    }
    return levelLeft != 0;
}

#ifdef __SSE2__
// forwardRows of a short row (isShortRow), by one ShortRowPass for all rows
// but the map's top and bottom ones.
template <int Blocks>
void forwardShortRows(const LevelMaps& maps, int yFirst, int yLast, int first,
                      int last, int target, int level, unsigned char* left)
{
    const ShortRowPass<Blocks> pass(maps, first, last, (unsigned short)target,
                                    (unsigned short)level);
    const int lastInner = maps.label.rows() - 2;
    for (int y = yFirst; y <= yLast; ++y) {
        const bool levelLeft =
            y >= 1 && y <= lastInner
                ? pass(y)
                : forwardRow(maps, y, first, last, target, level);
        if (left)
            left[y - yFirst] = levelLeft;
    }
}
#endif

// forwardRow over rows yFirst..yLast of columns first..last, top row first;
// with left given, left[y - yFirst] is what forwardRow returned for row y.
inline void forwardRows(const LevelMaps& maps, int yFirst, int yLast, int first,
                        int last, int target, int level, unsigned char* left)
{
#ifdef __SSE2__
    if (isShortRow(maps, first, last)) {
        const auto rows = (last - first) / 16 == 0   ? forwardShortRows<1>
                          : (last - first) / 16 == 1 ? forwardShortRows<2>
                          : (last - first) / 16 == 2 ? forwardShortRows<3>
                                                     : forwardShortRows<4>;
        rows(maps, yFirst, yLast, first, last, target, level, left);
        return;
    }
#endif
    for (int y = yFirst; y <= yLast; ++y) {
        const bool levelLeft = forwardRow(maps, y, first, last, target, level);
        if (left)
            left[y - yFirst] = levelLeft;
    }
}

// Fills each run's pixels from its first one up to its last seed: seeds
// spread towards bit 0 through the set bits of run (seeds within run).
inline std::uint64_t spreadDown(std::uint64_t seeds, std::uint64_t run)
{
    seeds |= run & (seeds >> 1);
    run &= run >> 1;
    seeds |= run & (seeds >> 2);
    run &= run >> 2;
    seeds |= run & (seeds >> 4);
    run &= run >> 4;
    seeds |= run & (seeds >> 8);
    run &= run >> 8;
    seeds |= run & (seeds >> 16);
    run &= run >> 16;
    return seeds | (run & (seeds >> 32));
}

// The backward pass over columns first..last of row y, from the right:
// runs of the level are taken from their right end, as the forward pass
// takes them from their left one.
inline void backwardRow(const LevelMaps& maps, int y, int first, int last,
                        int target, int level)
{
    assert(target == short(target) && target != level);
    const unsigned short label16 = (unsigned short)target;
    const unsigned short level16 = (unsigned short)level;
    const unsigned short* labelRow =
        maps.labelData + std::size_t(y) * maps.cols;
    // The pixel right of the stretch, as in forwardRow.
    bool rightLevel = false;
    bool rightTarget = maps.label(last + 1, y) == target;
    bool rightFilled = false;
    for (int x1 = last; x1 >= first; x1 -= 64) {
        const int x0 = std::max(first, x1 - 63);
        const int n = x1 - x0 + 1;
        const std::uint64_t top = std::uint64_t(1) << (n - 1);
        const bool leftLevel = x0 > first && labelRow[x0 - 1] == level16;
        const bool leftTarget = maps.label(x0 - 1, y) == target;
        const StretchRuns runs =
            stretchRuns(rowBits(maps, y, x0, n, label16, level16), n, leftLevel,
                        leftTarget, rightLevel, rightTarget);
        const std::uint64_t lv = runs.level;
        const std::uint64_t seeds = (lv & runs.touches) |
                                    (runs.end & runs.rightTarget) |
                                    (lv & (rightFilled ? top : 0));
        const std::uint64_t filled =
            spreadDown(seeds, lv) | (runs.start & runs.leftTarget);
        fillBits(maps, y, x0, filled, label16);
        rightFilled = leftLevel && (filled & 1) != 0;
        rightLevel = (lv & 1) != 0;
        rightTarget = labelRow[x0] == label16;
    }
}

// Fills a new segment from its marked outline: what a forward sweep of the
// box (rows down, columns right) and a backward sweep (rows up, columns
// left, the box's top row and left column left out) of forwardRow and
// backwardRow would do, but visiting only the pixels that can change.
// label is a new value that no pixel held before the outline was marked, so
// a pixel of the level can only take it through a chain of level pixels
// from the outline: the sweeps run over the runs of level-or-label pixels
// that are connected, inside the box, to the seed pixel. No pixel of the
// scratch map may hold label: the flood marks the runs it has taken there,
// and leaves the marks. The scratch is kept between regions of one
// segmentation.
class SegmentFiller {
  public:
    void fill(const LevelMaps& maps, int seedX, int seedY, const int* boxMin,
              const int* boxMax, int label, int level);

  private:
    struct Run {
        int y, first, last;
        bool levelLeft; // the forward pass left a pixel of the level
    };

    void collectRuns(const LevelMaps& maps, int seedX, int seedY,
                     const int* boxMin, const int* boxMax, unsigned short label,
                     unsigned short level);

    std::vector<Run> runs_;      // the region's runs, in flood order
    std::vector<CvPoint> stack_; // runs still to take, by a pixel of each
};

} // namespace ulk

#endif
