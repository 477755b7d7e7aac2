// The fill of a new segment over the runs of its region: a flood by runs
// finds them, then the two sweeps visit them in sweep order.
#include "engine/region_fill.h"

#include <algorithm>
#include <cassert>

namespace ulk {

namespace {

// First column in [x, last] of row whose value is a or b (Member) or is
// neither (!Member); last + 1 if none.
template <bool Member>
int findFirstOf(const unsigned short* row, int x, int last, unsigned short a,
                unsigned short b)
{
#ifdef __SSE2__
    const __m128i wantA = _mm_set1_epi16(short(a));
    const __m128i wantB = _mm_set1_epi16(short(b));
    for (; x + 7 <= last; x += 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi16(v, wantA), _mm_cmpeq_epi16(v, wantB)));
        if (!Member)
            hits ^= 0xffff;
        if (hits != 0)
            return x + __builtin_ctz(unsigned(hits)) / 2;
    }
#endif
    while (x <= last && (row[x] == a || row[x] == b) != Member)
        ++x;
    return x;
}

} // namespace

// Flood by runs, 8-connected, over the pixels that hold the level or the
// label, inside the box; each run is maximal within the box's columns. No
// pixel of the scratch map holds label before: the flood marks the runs it
// has taken there with label.
void SegmentFiller::collectRuns(const LevelMaps& maps, int seedX, int seedY,
                                const int* boxMin, const int* boxMax,
                                unsigned short label, unsigned short level)
{
    const auto member = [&](int x, int y) {
        const unsigned short v = maps.labelData[size_t(y) * maps.cols + x];
        return v == label || v == level;
    };
    const auto visited = [&](int x, int y) {
        return maps.markData[size_t(y) * maps.cols + x] == label;
    };
    runs_.clear();
    stack_.clear();
    stack_.push_back(cvPoint(seedX, seedY));
    while (!stack_.empty()) {
        const CvPoint p = stack_.back();
        stack_.pop_back();
        if (visited(p.x, p.y))
            continue;
        const unsigned short* row = maps.labelData + size_t(p.y) * maps.cols;
        int first = p.x;
        while (first > boxMin[0] && member(first - 1, p.y))
            --first;
        const int last =
            findFirstOf<false>(row, p.x, boxMax[0], label, level) - 1;
        unsigned short* markRow = maps.markData + size_t(p.y) * maps.cols;
        std::fill(markRow + first, markRow + last + 1, label);
        runs_.push_back({p.y, first, last, true});

        // Every run of members that touches this one, corners included, in
        // the rows above and below.
        const int from = std::max(first - 1, boxMin[0]);
        const int to = std::min(last + 1, boxMax[0]);
        for (const int y : {p.y - 1, p.y + 1}) {
            if (y < boxMin[1] || y > boxMax[1])
                continue;
            const unsigned short* next = maps.labelData + size_t(y) * maps.cols;
            for (int x = findFirstOf<true>(next, from, to, label, level);
                 x <= to;) {
                if (!visited(x, y))
                    stack_.push_back(cvPoint(x, y));
                const int end = findFirstOf<false>(next, x, to, label, level);
                x = findFirstOf<true>(next, end, to, label, level);
            }
        }
    }
}

void SegmentFiller::fill(const LevelMaps& maps, int seedX, int seedY,
                         const int* boxMin, const int* boxMax, int label,
                         int level)
{
    assert(label != level);
    const unsigned short label16 = (unsigned short)label;
    collectRuns(maps, seedX, seedY, boxMin, boxMax, label16,
                (unsigned short)level);
    std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) {
        return a.y != b.y ? a.y < b.y : a.first < b.first;
    });

    // Forward sweep: the level's runs take label.
    for (Run& r : runs_)
        r.levelLeft = forwardRow(maps, r.y, r.first, r.last, label, level);
    // Backward sweep, bottom row first and right to left; the box's top row
    // and left column stay out of it, and so do the runs that the forward
    // sweep left without a pixel of the level.
    for (auto r = runs_.rbegin(); r != runs_.rend(); ++r) {
        if (r->y == boxMin[1] || !r->levelLeft)
            continue;
        const int first = std::max(r->first, boxMin[0] + 1);
        if (first <= r->last)
            backwardRow(maps, r->y, first, r->last, label, level);
    }
}

} // namespace ulk
