// Dense velocity field: each segment's valid tracking points give velocities
// at the nodes of an 8-pixel grid over its rectangle, weighted by how much
// nearer a point is than the farthest one, and the pixels between the nodes
// take the bilinear blend of their four nodes.
//
// One pass over the label map, run by run of equal labels, gives every
// pixel that lies in the block area of a segment with its label the blend of
// that segment's nodes. A pixel carries one label, so this writes what a
// sweep of every segment's blocks would write, without reading the label
// map once per overlapping rectangle. A segment's nodes are computed as its
// pixels come up and only two block rows of them are kept, so the memory
// follows the frame, not the sum of the rectangles. Bands of rows run in
// parallel; a node's value depends on nothing but its segment, so every
// band computes the same values.
#include "engine/dense_field.h"

#include "engine/dense_field_kernels.h"
#include "engine/parallel_bands.h"
#include "engine/vector_paths.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef __SSE2__
#include "engine/dense_field_blocks.h"
#endif

namespace ulk {

NodeVelocity nodeVelocity(const int* px, const int* py, const int* vx,
                          const int* vy, int m, int nodeX, int nodeY,
                          long long* distance)
{
    // 64-bit: on frames wider than 46340 pixels a squared distance, and with
    // thousands of far points their sum, pass the range of an int.
    long long farthest = 0;
    for (int k = 0; k < m; ++k) {
        const long long ex = px[k] - nodeX;
        const long long ey = py[k] - nodeY;
        distance[k] = ex * ex + ey * ey;
        farthest = std::max(farthest, distance[k]);
    }
    long long spread = 0;
    for (int k = 0; k < m; ++k)
        spread += farthest - distance[k];

    NodeVelocity node = {0.0f, 0.0f};
    if (spread != 0) {
        for (int k = 0; k < m; ++k) {
            const double w = double(farthest - distance[k]) / double(spread);
            node.u = static_cast<float>(node.u + w * vx[k]);
            node.v = static_cast<float>(node.v + w * vy[k]);
        }
    } else if (m > 0) {
        for (int k = 0; k < m; ++k) {
            node.u = static_cast<float>(node.u + double(vx[k]));
            node.v = static_cast<float>(node.v + double(vy[k]));
        }
        node.u /= static_cast<float>(m);
        node.v /= static_cast<float>(m);
    }
    return node;
}

void blendRunScalar(float* rowU, float* rowV, int cols, const BlendedRun& run)
{
    const float fy = float(run.dy);
    for (int x = run.from; x <= run.to;) {
        const int i = (x - run.rectX) >> 3;
        const int blockX = run.rectX + (i << 3);
        const int blockEnd = run.to < blockX + 7 ? run.to : blockX + 7;
        const NodeVelocity a = run.top[i], b = run.top[i + 1];
        const NodeVelocity c = run.bottom[i], e = run.bottom[i + 1];
        const float leftU = a.u + (c.u - a.u) * fy * 0.125f;
        const float leftV = a.v + (c.v - a.v) * fy * 0.125f;
        const float spanU = b.u + (e.u - b.u) * fy * 0.125f - leftU;
        const float spanV = b.v + (e.v - b.v) * fy * 0.125f - leftV;
        for (; x <= blockEnd; ++x) {
            const float fx = float(x - blockX);
            rowU[x] = leftU + spanU * fx * 0.125f;
            rowV[x] = leftV + spanV * fx * 0.125f;
        }
    }
    (void)cols;
}

#ifdef __SSE2__
void blendRunSse2(float* rowU, float* rowV, int cols, const BlendedRun& run)
{
    const __m128 eighth = _mm_set1_ps(0.125f);
    const __m128 fxLow = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
    const __m128 fxHigh = _mm_setr_ps(4.0f, 5.0f, 6.0f, 7.0f);
    const __m128i column = _mm_setr_epi32(0, 1, 2, 3);
    const __m128i four = _mm_set1_epi32(4);
    forEachBlock(
        rowU, rowV, cols, run,
        [&](int x, int blockX, int blockEnd, __m128 ends, __m128 span) {
            // All ones in the columns x - blockX .. blockEnd - blockX.
            const __m128i below = _mm_set1_epi32(x - blockX - 1);
            const __m128i above = _mm_set1_epi32(blockEnd - blockX + 1);
            const auto inside = [&](__m128i c) {
                return _mm_castsi128_ps(_mm_and_si128(
                    _mm_cmpgt_epi32(c, below), _mm_cmplt_epi32(c, above)));
            };
            const __m128 takeLow = inside(column);
            const __m128 takeHigh = inside(_mm_add_epi32(column, four));
            const auto blend = [](float* at, __m128 take, __m128 value) {
                _mm_storeu_ps(at,
                              _mm_or_ps(_mm_and_ps(take, value),
                                        _mm_andnot_ps(take, _mm_loadu_ps(at))));
            };
            const auto write = [&](float* p, __m128 start, __m128 step) {
                blend(p, takeLow,
                      _mm_add_ps(start,
                                 _mm_mul_ps(_mm_mul_ps(step, fxLow), eighth)));
                blend(p + 4, takeHigh,
                      _mm_add_ps(start,
                                 _mm_mul_ps(_mm_mul_ps(step, fxHigh), eighth)));
            };
            write(rowU + blockX, _mm_shuffle_ps(ends, ends, 0x00),
                  _mm_shuffle_ps(span, span, 0x00));
            write(rowV + blockX, _mm_shuffle_ps(ends, ends, 0x55),
                  _mm_shuffle_ps(span, span, 0x55));
        });
}
#endif

BlendRun blendRunOn(VectorPath path)
{
#ifdef OF_ULK_ENGINE_X86
    if (path >= VectorPath::Avx2)
        return blendRunAvx2;
#endif
#ifdef __SSE2__
    if (path >= VectorPath::Sse2)
        return blendRunSse2;
#endif
    (void)path;
    return blendRunScalar;
}

namespace {

const int kNodeSpacing = 8;          // pixels between grid nodes
const int kNodeShift = 3;            // log2(kNodeSpacing)
const float kBlockFraction = 0.125f; // 1 / kNodeSpacing
// Rows per band at least: a band recomputes the nodes of the block rows
// that it shares with its neighbours.
const int kMinBandRows = 64;
// Bands per thread at most: every band recomputes the nodes of the
// segments that its first row crosses, which made four per thread slower
// than two at 1920 x 1080.
const int kBandsPerThread = 2;

// The valid points of one segment, copied out of their packed records.
struct PointSpan {
    size_t first; // index into the point columns
    int count;
};

// One segment's grid geometry and its valid points.
struct SegmentGrid {
    SegmentRecord* record;
    int rectX, rectY;
    int lastX, lastY;  // block area: rectX..lastX, rectY..lastY; empty when
                       // lastX < rectX
    int nx;            // nodes per grid row
    PointSpan points;  // its valid points
    int nextSameLabel; // next segment of the same label, or -1
    bool nearNodes;    // every point within kNodeVectorReach of every node
};

// The blend across one block row: the values at the block's left and right
// node columns, interpolated down to row dy.
struct BlockRow {
    float leftU, leftV, rightU, rightV;
};

// The geometry and the valid points of all segments, read once from their
// records; shared read-only by every band of rows.
class SegmentGrids {
  public:
    SegmentGrids(CvSeq* segments, VectorPath path)
        : grids_(size_t(segments->total)), path_(path)
    {
        CvSeqReader reader;
        cvStartReadSeq(segments, &reader, 0);
        for (SegmentGrid& g : grids_) {
            SegmentRecord* record =
                reinterpret_cast<SegmentRecord*>(reader.ptr);
            CV_NEXT_SEQ_ELEM(segments->elem_size, reader);
            g.record = record;
            g.rectX = record->rectX;
            g.rectY = record->rectY;
            g.nextSameLabel = -1;
            g.points = collectValidPoints(record->points);
            g.nearNodes = false;
            maxPoints_ = std::max(maxPoints_, g.points.count);
            // Blocks start at rectX, rectX + 8, ... up to rectX + width; a
            // negative extent has none.
            const int width = record->rectWidth;
            const int height = record->rectHeight;
            if (width < 0 || height < 0) {
                g.nx = 0;
                g.lastX = g.rectX - 1;
                g.lastY = g.rectY - 1;
                continue;
            }
            g.lastX = g.rectX + (width >> kNodeShift << kNodeShift) +
                      kNodeSpacing - 1;
            g.lastY = g.rectY + (height >> kNodeShift << kNodeShift) +
                      kNodeSpacing - 1;
            g.nx = width / kNodeSpacing + 2;
            g.nearNodes = nearNodes(g, height / kNodeSpacing + 2);
        }
    }

    std::vector<SegmentGrid>& grids() { return grids_; }
    const std::vector<SegmentGrid>& grids() const { return grids_; }
    int maxPoints() const { return maxPoints_; }

    // Scratch of nodeAt for up to maxPoints() points.
    struct Scratch {
        explicit Scratch(int points)
            : distance(size_t(points) + 8), distance32(size_t(points) + 8),
              products(2 * size_t(points) + 8)
        {
        }
        std::vector<long long> distance;
        std::vector<int> distance32;
        std::vector<double> products;
    };

    // Velocity of node (i, j) of segment g.
    NodeVelocity nodeAt(const SegmentGrid& g, int i, int j,
                        Scratch* scratch) const
    {
        const size_t p = g.points.first;
        const int nodeX = g.rectX + kNodeSpacing * i;
        const int nodeY = g.rectY + kNodeSpacing * j;
#ifdef OF_ULK_ENGINE_X86
        if (path_ >= VectorPath::Avx2 && g.nearNodes)
            return nodeVelocityAvx2(
                x_.data() + p, y_.data() + p, vx_.data() + p, vy_.data() + p,
                g.points.count, nodeX, nodeY, scratch->distance32.data(),
                scratch->products.data());
#endif
        return nodeVelocity(x_.data() + p, y_.data() + p, vx_.data() + p,
                            vy_.data() + p, g.points.count, nodeX, nodeY,
                            scratch->distance.data());
    }

  private:
    // Whether every valid point of g lies within kNodeVectorReach of each
    // of its nodes, ny node rows of g.nx.
    bool nearNodes(const SegmentGrid& g, int ny) const
    {
        const size_t first = g.points.first;
        const size_t end = first + size_t(g.points.count);
        if (first == end)
            return true;
        const auto within = [](const std::vector<int>& at, size_t a, size_t b,
                               long long lowNode, long long highNode) {
            const auto [low, high] =
                std::minmax_element(at.begin() + long(a), at.begin() + long(b));
            return highNode - *low < kNodeVectorReach &&
                   *high - lowNode < kNodeVectorReach;
        };
        return within(x_, first, end, g.rectX,
                      g.rectX + (long long)kNodeSpacing * (g.nx - 1)) &&
               within(y_, first, end, g.rectY,
                      g.rectY + (long long)kNodeSpacing * (ny - 1));
    }

    // The valid points of a point list, once per occurrence, in list order.
    PointSpan collectValidPoints(CvSeq* points)
    {
        PointSpan span = {x_.size(), 0};
        CvSeqReader reader;
        cvStartReadSeq(points, &reader, 0);
        for (int i = 0; i < points->total; ++i) {
            // List elements are pointers stored without alignment.
            const TrackPoint* point;
            std::memcpy(&point, reader.ptr, sizeof(point));
            TrackPoint p;
            std::memcpy(&p, point, sizeof(p));
            if (p.valid != 0) {
                x_.push_back(p.x);
                y_.push_back(p.y);
                vx_.push_back(p.vx);
                vy_.push_back(p.vy);
                ++span.count;
            }
            CV_NEXT_SEQ_ELEM(points->elem_size, reader);
        }
        return span;
    }

    std::vector<SegmentGrid> grids_;
    std::vector<int> x_, y_, vx_, vy_; // valid points of all segments
    int maxPoints_ = 0;
    VectorPath path_;
};

// The nodes of the two block rows that a band's current pixel row of a
// segment needs, computed when a block that they border first holds a pixel
// to write. Node (i, j) lives in the row slot j & 1 and carries j as its
// stamp, so moving down one block row invalidates one slot without clearing
// it. A segment's slots are made the first time one of its pixels comes up;
// the rectangles' widths are bounded by the outline pixels of their
// segments, so all slots together stay within a few bytes per pixel.
class NodeCache {
  public:
    explicit NodeCache(const SegmentGrids& grids)
        : grids_(grids), slotOf_(grids.grids().size(), kNoSlot),
          scratch_(grids.maxPoints())
    {
    }

    static constexpr size_t kNoSlot = ~size_t(0);

    // The node rows j and j + 1 of one segment, for the blocks of one run:
    // the velocities of nodes (i, j) at top[i], with their stamps at
    // topRow[i], and those of nodes (i, j + 1) below.
    struct NodeRows {
        const SegmentGrid* grid;
        NodeVelocity* top;
        int* topRow;
        NodeVelocity* bottom;
        int* bottomRow;
        int j;
    };

    // The node rows around block row j of segment s; valid until the next
    // call for another segment.
    NodeRows nodeRows(int s, int j)
    {
        const SegmentGrid& g = grids_.grids()[size_t(s)];
        size_t& slot = slotOf_[size_t(s)];
        if (slot == kNoSlot) {
            slot = velocity_.size();
            velocity_.resize(slot + 2 * size_t(g.nx), NodeVelocity{0.0f, 0.0f});
            stamp_.resize(slot + 2 * size_t(g.nx), -1);
        }
        NodeVelocity* even = velocity_.data() + slot;
        int* evenRow = stamp_.data() + slot;
        NodeVelocity* odd = even + g.nx;
        int* oddRow = evenRow + g.nx;
        return (j & 1) ? NodeRows{&g, odd, oddRow, even, evenRow, j}
                       : NodeRows{&g, even, evenRow, odd, oddRow, j};
    }

    // Nodes i0..i1 of both rows, computed where not yet.
    void ensureNodes(const NodeRows& rows, int i0, int i1)
    {
        for (int i = i0; i <= i1; ++i) {
            node(rows, rows.top, rows.topRow, i, rows.j);
            node(rows, rows.bottom, rows.bottomRow, i, rows.j + 1);
        }
    }

    // Row dy of block (i, j) of the rows' segment.
    BlockRow blockRow(const NodeRows& rows, int i, int dy)
    {
        const NodeVelocity a = node(rows, rows.top, rows.topRow, i, rows.j);
        const NodeVelocity b = node(rows, rows.top, rows.topRow, i + 1, rows.j);
        const NodeVelocity c =
            node(rows, rows.bottom, rows.bottomRow, i, rows.j + 1);
        const NodeVelocity e =
            node(rows, rows.bottom, rows.bottomRow, i + 1, rows.j + 1);
        const float fy = float(dy);
        BlockRow r;
        r.leftU = a.u + (c.u - a.u) * fy * kBlockFraction;
        r.leftV = a.v + (c.v - a.v) * fy * kBlockFraction;
        r.rightU = b.u + (e.u - b.u) * fy * kBlockFraction;
        r.rightV = b.v + (e.v - b.v) * fy * kBlockFraction;
        return r;
    }

  private:
    const NodeVelocity& node(const NodeRows& rows, NodeVelocity* velocity,
                             int* stamp, int i, int j)
    {
        if (stamp[i] != j) {
            velocity[i] = grids_.nodeAt(*rows.grid, i, j, &scratch_);
            stamp[i] = j;
        }
        return velocity[i];
    }

    const SegmentGrids& grids_;
    std::vector<size_t> slotOf_; // per segment: its first node, or kNoSlot
    std::vector<NodeVelocity> velocity_; // two node rows per segment
    std::vector<int> stamp_;             // the block row of each node, or -1
    SegmentGrids::Scratch scratch_;
};

// For each label value a segment can match (a 16-bit map value read
// signed), the first segment of that label; segments of one label are
// chained in sequence order.
class LabelTable {
  public:
    explicit LabelTable(std::vector<SegmentGrid>* grids)
    {
        int lowest = INT_MAX, highest = INT_MIN;
        for (const SegmentGrid& g : *grids) {
            const int label = g.record->label;
            if (label >= SHRT_MIN && label <= SHRT_MAX) {
                lowest = std::min(lowest, label);
                highest = std::max(highest, label);
            }
        }
        if (lowest > highest)
            return;
        base_ = lowest;
        first_.assign(size_t(highest - lowest + 1), -1);
        std::vector<int> last(first_.size(), -1);
        for (int s = 0; s < int(grids->size()); ++s) {
            const int label = (*grids)[s].record->label;
            if (label < SHRT_MIN || label > SHRT_MAX)
                continue;
            const size_t slot = size_t(label - base_);
            if (last[slot] >= 0)
                (*grids)[last[slot]].nextSameLabel = s;
            else
                first_[slot] = s;
            last[slot] = s;
        }
    }

    // First segment whose label is value, or -1.
    int first(int value) const
    {
        const unsigned slot = unsigned(value - base_);
        return slot < first_.size() ? first_[slot] : -1;
    }

  private:
    int base_ = 0;
    std::vector<int> first_;
};

// Sets bit x of starts (64 columns a word) where a run of one label value
// begins in row: at column 0 and wherever the value differs from the one
// on its left.
void findRunStarts(const short* row, int cols, std::vector<uint64_t>* starts)
{
    starts->assign(size_t(cols + 63) / 64, 0);
    uint64_t* bits = starts->data();
    bits[0] = 1;
    int x = 1;
#ifdef __SSE2__
    for (; x + 8 <= cols; x += 8) {
        const __m128i here =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i left =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1));
        // One bit per column where the two differ.
        const unsigned same = unsigned(_mm_movemask_epi8(
            _mm_packs_epi16(_mm_cmpeq_epi16(here, left), _mm_setzero_si128())));
        const uint64_t differ = uint64_t(~same & 0xffu);
        // Eight bits that may straddle two words.
        bits[x >> 6] |= differ << (x & 63);
        if ((x & 63) > 56)
            bits[(x >> 6) + 1] |= differ >> (64 - (x & 63));
    }
#endif
    for (; x < cols; ++x)
        bits[x >> 6] |= uint64_t(row[x] != row[x - 1]) << (x & 63);
}

// The first run start after column x, or cols.
inline int nextRunStart(const std::vector<uint64_t>& starts, int x, int cols)
{
    ++x;
    size_t word = size_t(x) >> 6;
    if (word >= starts.size())
        return cols;
    uint64_t bits = starts[word] & (~uint64_t(0) << (x & 63));
    while (bits == 0) {
        if (++word == starts.size())
            return cols;
        bits = starts[word];
    }
    return int(word * 64) + __builtin_ctzll(bits);
}

// Whether one of the segments chained from first writes every pixel of
// columns from..to of row y.
bool coveredWhole(const std::vector<SegmentGrid>& grids, int first, int y,
                  int from, int to)
{
    for (int s = first; s >= 0; s = grids[size_t(s)].nextSameLabel) {
        const SegmentGrid& g = grids[size_t(s)];
        if (y >= g.rectY && y <= g.lastY && g.rectX <= from && g.lastX >= to)
            return true;
    }
    return false;
}

// Writes the pixels of rows [rowBegin, rowEnd) and adds each segment's grey
// sum and pixel count of those rows to greySum and pixelCount (null without
// a workImage). With kVector the runs are found eight columns at a time and
// blended by blendRun, else pixel by pixel.
template <bool kVector>
void fillRows(const SegmentGrids& segmentGrids, const LabelTable& labels,
              const CvMat* labelMap, const CvMat* workImage, CvMat* velx,
              CvMat* vely, OtherPixels others, int rowBegin, int rowEnd,
              int64_t* greySum, int* pixelCount, BlendRun blendRun)
{
    const std::vector<SegmentGrid>& grids = segmentGrids.grids();
    NodeCache nodes(segmentGrids);
    const int cols = labelMap->cols;
    std::vector<uint64_t> starts;
    for (int y = rowBegin; y < rowEnd; ++y) {
        const short* labelRow =
            reinterpret_cast<const short*>(labelMap->data.ptr) +
            size_t(y) * cols;
        float* rowX = reinterpret_cast<float*>(velx->data.ptr + y * velx->step);
        float* rowY = reinterpret_cast<float*>(vely->data.ptr + y * vely->step);
        const unsigned char* greyRow =
            workImage ? workImage->data.ptr + y * workImage->step : nullptr;
        if (kVector)
            findRunStarts(labelRow, cols, &starts);

        // Runs of one label value; each segment of that label writes the
        // part of the run inside its block area, in sequence order.
        int runEnd = 0;
        for (int runStart = 0; runStart < cols; runStart = runEnd) {
            const short value = labelRow[runStart];
            if (kVector) {
                runEnd = nextRunStart(starts, runStart, cols);
            } else {
                runEnd = runStart + 1;
                while (runEnd < cols && labelRow[runEnd] == value)
                    ++runEnd;
            }
            // A run that no one segment covers whole is cleared first, and
            // its segments write their parts over the zeros.
            if (others == OtherPixels::Zero &&
                !coveredWhole(grids, labels.first(value), y, runStart,
                              runEnd - 1)) {
                std::fill(rowX + runStart, rowX + runEnd, 0.0f);
                std::fill(rowY + runStart, rowY + runEnd, 0.0f);
            }
            for (int s = labels.first(value); s >= 0;
                 s = grids[size_t(s)].nextSameLabel) {
                const SegmentGrid& g = grids[size_t(s)];
                if (y < g.rectY || y > g.lastY)
                    continue;
                const int from = std::max(runStart, g.rectX);
                const int to = std::min(runEnd - 1, g.lastX);
                if (from > to)
                    continue;
                if (greyRow) {
                    int64_t sum = 0;
                    for (int x = from; x <= to; ++x)
                        sum += greyRow[x];
                    greySum[s] += sum;
                    pixelCount[s] += to - from + 1;
                }
                const int j = (y - g.rectY) >> kNodeShift;
                const int dy = (y - g.rectY) & (kNodeSpacing - 1);
                const NodeCache::NodeRows rows = nodes.nodeRows(s, j);
                if (kVector) {
                    // The nodes of the run's blocks first, then the run.
                    nodes.ensureNodes(rows, (from - g.rectX) >> kNodeShift,
                                      ((to - g.rectX) >> kNodeShift) + 1);
                    blendRun(rowX, rowY, cols,
                             BlendedRun{rows.top, rows.bottom, g.rectX, from,
                                        to, dy});
                    continue;
                }
                // Block by block across [from, to].
                for (int x = from; x <= to;) {
                    const int i = (x - g.rectX) >> kNodeShift;
                    const int blockX = g.rectX + (i << kNodeShift);
                    const int blockEnd =
                        std::min(to, blockX + kNodeSpacing - 1);
                    const BlockRow row = nodes.blockRow(rows, i, dy);
                    const float spanU = row.rightU - row.leftU;
                    const float spanV = row.rightV - row.leftV;
                    float* blockU = rowX + blockX;
                    float* blockV = rowY + blockX;
                    for (int dx = x - blockX; dx <= blockEnd - blockX; ++dx) {
                        const float fx = float(dx);
                        blockU[dx] = row.leftU + spanU * fx * kBlockFraction;
                        blockV[dx] = row.leftV + spanV * fx * kBlockFraction;
                    }
                    x = blockEnd + 1;
                }
            }
        }
    }
}

} // namespace

void fillDenseField(CvSeq* segments, const CvMat* labelMap,
                    const CvMat* workImage, CvMat* velx, CvMat* vely,
                    OtherPixels others)
{
    assert(CV_MAT_TYPE(labelMap->type) == CV_16UC1);

    const VectorPath path = activeVectorPath();
    SegmentGrids segmentGrids(segments, path);
    std::vector<SegmentGrid>& grids = segmentGrids.grids();
    const LabelTable labels(&grids);
    const size_t count = grids.size();
    const int rows = labelMap->rows;

    // Each band of rows writes its own pixels; the grey statistics are
    // integer sums, so adding the bands' shares in any order gives the same
    // totals.
    std::vector<int64_t> greySum(workImage ? count : 0, 0);
    std::vector<int> pixelCount(workImage ? count : 0, 0);
    std::mutex totals;
    const auto fillBand = [&](const cv::Range& band) {
        std::vector<int64_t> bandSum(greySum.size(), 0);
        std::vector<int> bandCount(pixelCount.size(), 0);
        (path == VectorPath::Scalar
             ? fillRows<false>
             : fillRows<true>)(segmentGrids, labels, labelMap, workImage, velx,
                               vely, others, band.start, band.end,
                               bandSum.data(), bandCount.data(),
                               blendRunOn(path));
        if (!workImage)
            return;
        const std::lock_guard<std::mutex> lock(totals);
        for (size_t s = 0; s < count; ++s) {
            greySum[s] += bandSum[s];
            pixelCount[s] += bandCount[s];
        }
    };
    cv::parallel_for_(cv::Range(0, rows), fillBand,
                      stripeCount(rows, kMinBandRows, kBandsPerThread));

    if (workImage) {
        for (size_t s = 0; s < count; ++s) {
            SegmentRecord* record = grids[s].record;
            record->pixelCount = pixelCount[s];
            if (pixelCount[s] != 0)
                record->meanGrey =
                    static_cast<unsigned char>(greySum[s] / pixelCount[s]);
        }
    }
}

} // namespace ulk
