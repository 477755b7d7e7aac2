// The machinery of the outline walks (contour_walk.h, which includes this
// file after its declarations): the map readers, the step tables that hold
// the follower's rules for every neighbourhood, and the walkers that step
// by position, by element index or by precomputed neighbour masks.
#ifndef OF_ULK_CONTOUR_WALKERS_H
#define OF_ULK_CONTOUR_WALKERS_H

#include <cassert>
#include <cstddef>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace ulk {

// The follower as a template over the map read and the visitor, so that the
// engine's walks on its own 16-bit maps run without a per-pixel type
// dispatch or an indirect call per step. Every instance walks exactly as
// traceContour does.

// Membership of the eight neighbours of (x, y) in the region that holds
// label: bit d set when the neighbour in direction d holds it.
template <class Reader>
unsigned readNeighbourMask(const Reader& read, int x, int y, int label)
{
    unsigned mask = 0;
    for (int d = 0; d < 8; ++d)
        mask |= unsigned(read(x + kContourDx[d], y + kContourDy[d]) == label)
                << d;
    return mask;
}

// Reads any map through cvGetSegIndex.
class SegIndexReader {
  public:
    explicit SegIndexReader(const CvMat* map) : map_(map) {}
    int operator()(int x, int y) const { return cvGetSegIndex(map_, x, y); }
    unsigned neighbourMask(int x, int y, int label) const
    {
        return readNeighbourMask(*this, x, y, label);
    }

  private:
    const CvMat* map_;
};

// The walker's own order of the eight neighbours, the one that the typed
// read below gathers fastest: bit b of a packed neighbour mask stands for
// the neighbour in direction kPackedDirection[b] (the row above from the
// left, the left neighbour, the row below from the left, the right one).
inline constexpr int kPackedDirection[8] = {
    kDirUpLeft,   kDirUp,   kDirUpRight,   kDirLeft,
    kDirDownLeft, kDirDown, kDirDownRight, kDirRight};

// Packed neighbour masks in direction order (bit d for direction d), and
// back.
struct PackedMaskTable {
    unsigned char directions[256]; // by packed mask
    unsigned char packed[256];     // by direction mask
    PackedMaskTable();
};
extern const PackedMaskTable kPackedMasks;

// True when the rows of map follow each other with no gap, so that its
// element (x, y) is element y * cols + x of its data.
inline bool isContinuousMap(const CvMat* map)
{
    return map->rows <= 1 || map->step == map->cols * CV_ELEM_SIZE(map->type);
}

// Reads a continuous CV_16UC1 or CV_16SC1 map as cvGetSegIndex does: the
// element sign-extended, 0 outside the map. The engine's own maps are
// continuous; a caller's map may not be (see traceContour).
class Label16Reader {
  public:
    explicit Label16Reader(const CvMat* map)
        : data_(reinterpret_cast<const short*>(map->data.ptr)),
          cols_(unsigned(map->cols)), rows_(unsigned(map->rows)),
          interiorCols_(cols_ >= 3 ? cols_ - 3 : 0),
          interiorRows_(rows_ >= 2 ? rows_ - 2 : 0)
    {
        assert(isContinuousMap(map));
    }
    int operator()(int x, int y) const
    {
        if (unsigned(x) >= cols_ || unsigned(y) >= rows_)
            return 0;
        return data_[std::size_t(y) * cols_ + unsigned(x)];
    }
    unsigned neighbourMask(int x, int y, int label) const
    {
        return kPackedMasks.directions[packedNeighboursAt(
            std::ptrdiff_t(y) * cols_ + x, x, y, label)];
    }
    // True when the rows above and below (x, y) are in the map from column
    // x - 1 to x + 2, and so are its eight neighbours.
    bool interior(int x, int y) const
    {
        return unsigned(x - 1) < interiorCols_ &&
               unsigned(y - 1) < interiorRows_;
    }
    // The packed neighbour mask (see kPackedDirection) of the point (x, y)
    // whose element index is at.
    unsigned packedNeighboursAt(std::ptrdiff_t at, int x, int y,
                                int label) const
    {
        return packedNeighboursAt(at, x, y, label, interior(x, y));
    }
    // The same, with interior(x, y) given.
    unsigned packedNeighboursAt(std::ptrdiff_t at, int x, int y, int label,
                                bool inside) const
    {
        if (!inside)
            return kPackedMasks.packed[readNeighbourMask(*this, x, y, label)];
        const short* row = data_ + at;
#ifdef __SSE2__
        // Columns x - 1 .. x + 2 of the row above (bits 0..3) and of the
        // row below (bits 4..7), one bit each; the left and right
        // neighbours take the bits of column x + 2.
        const __m128i want = _mm_set1_epi16(short(label));
        const __m128i aboveBelow =
            _mm_unpacklo_epi64(load4(row - cols_ - 1), load4(row + cols_ - 1));
        const unsigned columns = unsigned(_mm_movemask_epi8(_mm_packs_epi16(
            _mm_cmpeq_epi16(aboveBelow, want), _mm_setzero_si128())));
        return (columns & 0x77u) | unsigned(row[-1] == label) << 3 |
               unsigned(row[1] == label) << 7;
#else
        const short* above = row - cols_;
        const short* below = row + cols_;
        return unsigned(above[-1] == label) | unsigned(above[0] == label) << 1 |
               unsigned(above[1] == label) << 2 |
               unsigned(row[-1] == label) << 3 |
               unsigned(below[-1] == label) << 4 |
               unsigned(below[0] == label) << 5 |
               unsigned(below[1] == label) << 6 |
               unsigned(row[1] == label) << 7;
#endif
    }

    int cols() const
    {
        return int(cols_);
    }
    int rows() const
    {
        return int(rows_);
    }

    // Writes the packed neighbour mask of every pixel of rows [rowBegin,
    // rowEnd) relative to the pixel's own value, one byte per pixel at the
    // pixel's element index: what a walk reads at each point it stands on,
    // since every such point holds the walk's label.
    void neighbourMasks(unsigned char* masks, int rowBegin, int rowEnd) const;

  private:
#ifdef __SSE2__
    static __m128i load4(const short* p)
    {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    }
#endif
    const short* data_;
    unsigned cols_;
    unsigned rows_;
    unsigned interiorCols_; // columns 1 .. cols - 3
    unsigned interiorRows_; // rows 1 .. rows - 2
};

// True when map's type lets Label16Reader stand in for cvGetSegIndex.
inline bool isLabel16Map(const CvMat* map)
{
    const int type = CV_MAT_TYPE(map->type);
    return type == CV_16UC1 || type == CV_16SC1;
}

// Where a walk goes from a member pixel depends only on which of its eight
// neighbours are members and on the direction state it arrives with (every
// pixel that the step rules read lies next to it). The table holds the
// outcome of the rules for every case, so that a step is eight reads and a
// lookup instead of a chain of data-dependent tests.
struct ContourStep {
    unsigned char move;      // direction of the move, or kNoMove
    unsigned char direction; // direction state after the step
};
const unsigned char kNoMove = 8;
const int kDirectionStates = 10; // 0..7, kDirPivot, kDirNone

// The table, indexed [neighbour mask][direction state]; made when the
// library is loaded, by running the step rules on a small map for every
// case.
struct ContourStepTable {
    ContourStep step[256][kDirectionStates];
    ContourStepTable();
};
extern const ContourStepTable kContourSteps;

// A step of kContourSteps with its move as offsets: of the element index in
// a continuous map of a given width, and of x and y. No move is all 0.
struct IndexedStep {
    int offset;
    signed char dx;
    signed char dy;
    unsigned char direction;
};

// kContourSteps for maps of one width, by packed neighbour mask, so that a
// walk that keeps its point's element index finds the next point without a
// multiplication or a further lookup. The entries of one direction state
// lie together: a step knows its state long before its mask, which its
// point's loads give last, so only the mask's offset is left to add then.
class IndexedStepTable {
  public:
    // This thread's table for maps of cols columns, remade when the width
    // changes.
    static const IndexedStepTable& forColumns(int cols);
    const IndexedStep& operator()(unsigned packedMask, int state) const
    {
        return step_[state][packedMask];
    }

  private:
    int cols_ = -1;
    IndexedStep step_[kDirectionStates][256];
};

// Where a walk on a continuous 16-bit map stands: its point and the point's
// element index. A step moves it by the entry of the map width's step table
// for the point's packed neighbour mask and direction state.
class IndexedPosition {
  public:
    IndexedPosition(int cols, int label, CvPoint p)
        : steps_(IndexedStepTable::forColumns(cols)), label_(label), x_(p.x),
          y_(p.y), at_(std::ptrdiff_t(p.y) * cols + p.x)
    {
    }
    CvPoint point() const { return cvPoint(x_, y_); }
    // The current point's element index.
    std::ptrdiff_t index() const { return at_; }

  protected:
    // The step from the current point, whose packed neighbour mask is
    // packed; updates *d.
    void step(unsigned packed, int* d)
    {
        const IndexedStep& s = steps_(packed, *d);
        *d = s.direction;
        x_ += s.dx;
        y_ += s.dy;
        at_ += s.offset;
    }

    const IndexedStepTable& steps_;
    int label_; // a walk of label 0 stands still
    int x_, y_;
    std::ptrdiff_t at_;
};

// A walk on a continuous 16-bit map, by the steps of ContourFollower::next,
// that keeps the point's element index beside its position.
class IndexedWalker : public IndexedPosition {
  public:
    IndexedWalker(const Label16Reader& read, int label, CvPoint p)
        : IndexedPosition(read.cols(), label, p), read_(read)
    {
    }
    // Whether the current point lies in the map's interior (see
    // Label16Reader::interior).
    bool interior() const { return read_.interior(x_, y_); }
    // Moves to the boundary point after the current one; updates *d.
    void next(int* d) { next(d, interior()); }
    // The same, with interior() given.
    void next(int* d, bool inside)
    {
        if (label_ != 0)
            step(read_.packedNeighboursAt(at_, x_, y_, label_, inside), d);
    }

  private:
    const Label16Reader& read_;
};

// A walk like IndexedWalker's on a map whose neighbour masks are at hand
// (Label16Reader::neighbourMasks of the map as it stands): each step loads
// the point's mask instead of gathering it from eight neighbours, which
// halves the chain of loads that one step waits on.
class MaskedWalker : public IndexedPosition {
  public:
    MaskedWalker(const unsigned char* masks, int cols, int label, CvPoint p)
        : IndexedPosition(cols, label, p), masks_(masks)
    {
    }
    void next(int* d)
    {
        if (label_ != 0)
            step(masks_[at_], d);
    }

  private:
    const unsigned char* masks_;
};

// The steps of one walk around the region that holds `label`. Every point
// that a walk stands on is a member of the region and every pivot pixel is
// not, so an edge test from either needs to read only the neighbour.
template <class Reader> class ContourFollower {
  public:
    ContourFollower(const Reader& read, int label) : read_(read), label_(label)
    {
    }

    static CvPoint neighbour(CvPoint p, int d)
    {
        return cvPoint(p.x + kContourDx[d], p.y + kContourDy[d]);
    }

    bool inside(CvPoint p) const { return read_(p.x, p.y) == label_; }

    // Edge test from a member: the neighbour is outside.
    bool edgeFromMember(CvPoint p, int d) const
    {
        return !inside(neighbour(p, d));
    }

    // Edge test from a non-member: the neighbour is inside.
    bool edgeFromOutside(CvPoint q, int d) const
    {
        return inside(neighbour(q, d));
    }

    // Turns *e 90 degrees left when that direction crosses the edge at the
    // pivot pixel q (a non-member).
    bool turnLeftIfEdge(CvPoint q, int* e) const
    {
        const int left = (*e - 2) & 7;
        if (!edgeFromOutside(q, left))
            return false;
        *e = left;
        return true;
    }

    // One step attempt from the member *p in direction *d.
    bool step(CvPoint* p, int* d, CvPoint* q, int* e) const
    {
        // Diagonal directions are straightened to the next side direction.
        if (*d & 1)
            *d = (*d + 1) & 7;
        const int ahead = *d;
        const int left = (ahead - 2) & 7;
        const int frontLeft = (ahead - 1) & 7;

        if (edgeFromMember(*p, ahead)) {
            if (edgeFromMember(*p, left) && !edgeFromMember(*p, frontLeft)) {
                // The outside bends away: pivot round the left pixel.
                *q = neighbour(*p, left);
                *e = (ahead + 2) & 7;
            } else {
                // Blocked ahead: pivot round the pixel ahead, which turns
                // right on the spot unless the region goes on across the
                // front-right corner.
                *q = neighbour(*p, ahead);
                *e = (ahead - 4) & 7;
            }
            *d = kDirPivot;
            return false;
        }
        if (edgeFromMember(*p, frontLeft)) {
            *p = neighbour(*p, ahead);
            return true;
        }
        *q = neighbour(*p, left);
        *e = (ahead + 2) & 7;
        *d = edgeFromMember(*p, left) ? kDirPivot : kDirNone;
        return false;
    }

    // The boundary pixel after the member p0; updates *d. The same as
    // nextByRules, from the step table.
    CvPoint next(CvPoint p0, int* d) const
    {
        if (label_ == 0)
            return p0;
        const ContourStep step =
            kContourSteps.step[read_.neighbourMask(p0.x, p0.y, label_)][*d];
        *d = step.direction;
        return step.move == kNoMove ? p0 : neighbour(p0, step.move);
    }

    // The boundary pixel after the member p0 by the step rules; updates *d.
    CvPoint nextByRules(CvPoint p0, int* d) const
    {
        if (label_ == 0)
            return p0;

        // A member on the left means the direction no longer follows the
        // edge.
        if (*d != kDirNone && !edgeFromMember(p0, (*d - 2) & 7))
            *d = kDirNone;
        if (*d == kDirNone) {
            int found = kDirNone;
            for (int i = 0; i < 8 && found == kDirNone; ++i) {
                if (!edgeFromMember(p0, i) && edgeFromMember(p0, (i - 2) & 7))
                    found = i;
            }
            if (found == kDirNone)
                return p0;
            *d = found;
        }

        // Step, or turn on the spot, until the point moves or no direction
        // is left.
        CvPoint p = p0;
        CvPoint q = p0;
        int e = 0;
        do {
            const bool moved = step(&p, d, &q, &e);
            if (!moved && *d == kDirPivot) {
                if (turnLeftIfEdge(q, &e))
                    p = neighbour(q, e);
                *d = (e - 2) & 7;
            }
        } while (p.x == p0.x && p.y == p0.y && *d != kDirNone);
        return p;
    }

  private:
    Reader read_;
    int label_;
};

// A walk by position on any map, with IndexedWalker's interface.
template <class Reader> class PositionWalker {
  public:
    PositionWalker(const Reader& read, int label, CvPoint p)
        : follower_(read, label), p_(p)
    {
    }
    CvPoint point() const { return p_; }
    void next(int* d) { p_ = follower_.next(p_, d); }

  private:
    ContourFollower<Reader> follower_;
    CvPoint p_;
};

// The walker of a map read by Reader.
template <class Reader>
using WalkerOf = std::conditional_t<std::is_same_v<Reader, Label16Reader>,
                                    IndexedWalker, PositionWalker<Reader>>;

// True when a and b are the same point, by one test: a walk passes the row
// and the column of its start many times, so a test per coordinate would
// follow the outline's shape.
inline bool samePoint(CvPoint a, CvPoint b)
{
    return ((a.x ^ b.x) | (a.y ^ b.y)) == 0;
}

// The walk of followContour by a walker that stands on the region's start,
// its topmost member in the start column.
template <class Walker, class Visit>
bool followFromStart(Walker walker, CvPoint start, int label, Visit&& visit)
{
    int d = kDirNone;
    CvPoint previous = start;
    walker.next(&d);
    CvPoint p = walker.point();
    if (!visit(p.x, p.y, label, d))
        return false;
    for (;;) {
        if (samePoint(p, start))
            return true;
        if (samePoint(p, previous))
            return false; // no progress
        previous = p;
        walker.next(&d);
        p = walker.point();
        if (!visit(p.x, p.y, label, d))
            return false;
    }
}

// The topmost member of the column run of (x, y), which holds label.
template <class Reader>
CvPoint topOfColumnRun(const Reader& read, int x, int y, int label)
{
    while (y > 0 && read(x, y - 1) == label)
        --y;
    return cvPoint(x, y);
}

// Walks the region of the map that holds the value at (x, y) and calls
// visit(x, y, label, direction) for every step, exactly as traceContour
// calls its ContourFunc; returns what traceContour returns.
template <class Reader, class Visit>
bool followContour(const Reader& read, int x, int y, Visit&& visit)
{
    const int label = read(x, y);
    const CvPoint start = topOfColumnRun(read, x, y, label);
    // Typed maps walk by element index, the others by position.
    return followFromStart(WalkerOf<Reader>(read, label, start), start, label,
                           visit);
}

// followContour on a 16-bit map with its neighbour masks at hand. The masks
// must be those of the map as it stands: a walk on stale ones need not
// end.
template <class Visit>
bool followContourMasked(const Label16Reader& read, const unsigned char* masks,
                         int x, int y, Visit&& visit)
{
    const int label = read(x, y);
    const CvPoint start = topOfColumnRun(read, x, y, label);
    return followFromStart(MaskedWalker(masks, read.cols(), label, start),
                           start, label, visit);
}

// followContour on any map: typed reads on a 16-bit map, cvGetSegIndex on
// the others; with masks non-null, map is a 16-bit map and masks are its
// neighbour masks, which the walk then reads.
template <class Visit>
bool followContourOn(const CvMat* map, int x, int y, Visit&& visit,
                     const unsigned char* masks)
{
    if (masks) {
        assert(isLabel16Map(map));
        return followContourMasked(Label16Reader(map), masks, x, y, visit);
    }
    if (isLabel16Map(map))
        return followContour(Label16Reader(map), x, y, visit);
    return followContour(SegIndexReader(map), x, y, visit);
}

} // namespace ulk

#endif
