// Contour follower: walks the boundary of an 8-connected region of a label
// map with the outside on its left and reports every step to a callback.
// The steps themselves are the ContourFollower template of contour_walkers.h;
// the functions here run it through cvGetSegIndex, or through typed reads
// when the map is 16-bit and continuous.
#include "engine/contour_walk.h"

#include <algorithm>

namespace ulk {

CvPoint neighbourOf(CvPoint p, int d)
{
    return ContourFollower<SegIndexReader>::neighbour(p, d);
}

bool contourStep(const CvMat* map, CvPoint* p, int label, int* d, CvPoint* q,
                 int* e)
{
    return ContourFollower<SegIndexReader>(SegIndexReader(map), label)
        .step(p, d, q, e);
}

CvPoint nextContourPoint(const CvMat* map, CvPoint p0, int label, int* d)
{
    return ContourFollower<SegIndexReader>(SegIndexReader(map), label)
        .nextByRules(p0, d);
}

// The step table: the centre of a 3 x 3 map is the member pixel, the mask
// decides which of its neighbours are members too, and the rules take one
// step from the centre for every arriving direction state.
ContourStepTable::ContourStepTable()
{
    const int kMember = 1;
    for (unsigned mask = 0; mask < 256; ++mask) {
        short cells[9] = {};
        cells[4] = kMember;
        for (int d = 0; d < 8; ++d)
            if (mask & (1u << d))
                cells[(1 + kContourDy[d]) * 3 + 1 + kContourDx[d]] = kMember;
        CvMat map = cvMat(3, 3, CV_16SC1, cells);
        const ContourFollower<Label16Reader> follower(Label16Reader(&map),
                                                      kMember);
        for (int state = 0; state < kDirectionStates; ++state) {
            // A walk arrives with a direction only from a member
            // neighbour and never with a pending pivot; the rules would
            // turn forever on an isolated pixel with a direction, so
            // these cases, which never occur, stay put.
            int d = state;
            if (state == kDirPivot || (mask == 0 && state != kDirNone)) {
                step[mask][state] = {kNoMove, kDirNone};
                continue;
            }
            const CvPoint p = follower.nextByRules(cvPoint(1, 1), &d);
            ContourStep& entry = step[mask][state];
            entry.move = kNoMove;
            for (int k = 0; k < 8; ++k)
                if (p.x == 1 + kContourDx[k] && p.y == 1 + kContourDy[k])
                    entry.move = static_cast<unsigned char>(k);
            entry.direction = static_cast<unsigned char>(d);
        }
    }
}

const ContourStepTable kContourSteps;

const IndexedStepTable& IndexedStepTable::forColumns(int cols)
{
    thread_local IndexedStepTable table;
    if (table.cols_ != cols) {
        for (unsigned packed = 0; packed < 256; ++packed) {
            const unsigned mask = kPackedMasks.directions[packed];
            for (int state = 0; state < kDirectionStates; ++state) {
                const ContourStep s = kContourSteps.step[mask][state];
                IndexedStep& entry = table.step_[state][packed];
                entry = IndexedStep{0, 0, 0, s.direction};
                if (s.move != kNoMove) {
                    entry.dx = static_cast<signed char>(kContourDx[s.move]);
                    entry.dy = static_cast<signed char>(kContourDy[s.move]);
                    entry.offset = entry.dy * cols + entry.dx;
                }
            }
        }
        table.cols_ = cols;
    }
    return table;
}

PackedMaskTable::PackedMaskTable()
{
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned inDirections = 0;
        unsigned inPacked = 0;
        for (int b = 0; b < 8; ++b) {
            inDirections |= ((mask >> b) & 1u) << kPackedDirection[b];
            inPacked |= ((mask >> kPackedDirection[b]) & 1u) << b;
        }
        directions[mask] = static_cast<unsigned char>(inDirections);
        packed[mask] = static_cast<unsigned char>(inPacked);
    }
}

const PackedMaskTable kPackedMasks;

bool traceContour(ContourFunc func, const CvMat* map, int x, int y,
                  void* userData)
{
    const auto visit = [func, userData](int px, int py, int label, int dir) {
        return func(px, py, label, dir, userData);
    };
    // A caller's map may be a view into a larger array, whose rows the
    // typed reads would run across; cvGetSegIndex follows the row step.
    if (!isContinuousMap(map))
        return followContour(SegIndexReader(map), x, y, visit);
    return followContourOn(map, x, y, visit);
}

void Label16Reader::neighbourMasks(unsigned char* masks, int rowBegin,
                                   int rowEnd) const
{
    const int cols = int(cols_);
    const int rows = int(rows_);
    // A pixel at the map's edge, whose outside neighbours read as 0.
    const auto atEdge = [&](int x, int y) {
        const std::ptrdiff_t at = std::ptrdiff_t(y) * cols + x;
        masks[at] = static_cast<unsigned char>(
            packedNeighboursAt(at, x, y, data_[at], false));
    };
    for (int y = rowBegin; y < rowEnd; ++y) {
        int x = 0;
#ifdef __SSE2__
        if (y > 0 && y + 1 < rows && cols >= 10) {
            // Eight pixels at a time from column 1; the last group is moved
            // left to end at column cols - 2, and the columns it computes
            // twice get the same values.
            const short* row = data_ + std::ptrdiff_t(y) * cols;
            const short* above = row - cols;
            const short* below = row + cols;
            unsigned char* out = masks + std::ptrdiff_t(y) * cols;
            const auto load = [](const short* p) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            };
            // The neighbours of p's pixels equal to them, as bit b.
            const auto bit = [&load](const short* p, __m128i own, int b) {
                return _mm_and_si128(_mm_cmpeq_epi16(load(p), own),
                                     _mm_set1_epi16(short(1 << b)));
            };
            atEdge(0, y);
            for (int g = 1; g <= cols - 2; g += 8) {
                g = std::min(g, cols - 9);
                const __m128i own = load(row + g);
                __m128i m = bit(above + g - 1, own, 0);
                m = _mm_or_si128(m, bit(above + g, own, 1));
                m = _mm_or_si128(m, bit(above + g + 1, own, 2));
                m = _mm_or_si128(m, bit(row + g - 1, own, 3));
                m = _mm_or_si128(m, bit(below + g - 1, own, 4));
                m = _mm_or_si128(m, bit(below + g, own, 5));
                m = _mm_or_si128(m, bit(below + g + 1, own, 6));
                m = _mm_or_si128(m, bit(row + g + 1, own, 7));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + g),
                                 _mm_packus_epi16(m, m));
            }
            x = cols - 1;
        }
#endif
        for (; x < cols; ++x)
            atEdge(x, y);
    }
}

} // namespace ulk
