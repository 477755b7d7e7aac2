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

#include "engine/parallel_bands.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace ulk {

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

struct NodeVelocity {
    float u;
    float v;
};

// The valid points of one segment, copied out of their packed records.
struct PointSpan {
    size_t first; // index into the point columns
    int count;
};

// Velocity at node (nodeX, nodeY) from m points: each weighs (D - d) / S, D
// the largest squared distance and S the sum of (D - d). When S is 0 (one
// point, or all equally far) the node takes the plain mean of the points.
// distance is scratch for m values.
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

// One segment's grid geometry and its valid points.
struct SegmentGrid {
    SegmentRecord* record;
    int rectX, rectY;
    int lastX, lastY;  // block area: rectX..lastX, rectY..lastY; empty when
                       // lastX < rectX
    int nx;            // nodes per grid row
    PointSpan points;  // its valid points
    int nextSameLabel; // next segment of the same label, or -1
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
    explicit SegmentGrids(CvSeq* segments) : grids_(size_t(segments->total))
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
        }
    }

    std::vector<SegmentGrid>& grids() { return grids_; }
    const std::vector<SegmentGrid>& grids() const { return grids_; }
    int maxPoints() const { return maxPoints_; }

    // Velocity of node (i, j) of segment g; distance is scratch for the
    // segment's point count.
    NodeVelocity nodeAt(const SegmentGrid& g, int i, int j,
                        long long* distance) const
    {
        const size_t p = g.points.first;
        return nodeVelocity(x_.data() + p, y_.data() + p, vx_.data() + p,
                            vy_.data() + p, g.points.count,
                            g.rectX + kNodeSpacing * i,
                            g.rectY + kNodeSpacing * j, distance);
    }

  private:
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
          distance_(size_t(std::max(grids.maxPoints(), 1)))
    {
    }

    static constexpr size_t kNoSlot = ~size_t(0);
    struct CachedNode {
        NodeVelocity velocity;
        int row; // block row j whose node this is, or -1
    };

    // The node rows j and j + 1 of one segment, for the blocks of one run.
    struct NodeRows {
        const SegmentGrid* grid;
        CachedNode* top;    // node row j
        CachedNode* bottom; // node row j + 1
        int j;
    };

    // The node rows around block row j of segment s; valid until the next
    // call for another segment.
    NodeRows nodeRows(int s, int j)
    {
        const SegmentGrid& g = grids_.grids()[size_t(s)];
        size_t& slot = slotOf_[size_t(s)];
        if (slot == kNoSlot) {
            slot = nodes_.size();
            nodes_.resize(slot + 2 * size_t(g.nx),
                          CachedNode{{0.0f, 0.0f}, -1});
        }
        CachedNode* even = nodes_.data() + slot;
        CachedNode* odd = even + g.nx;
        return (j & 1) ? NodeRows{&g, odd, even, j}
                       : NodeRows{&g, even, odd, j};
    }

    // Row dy of block (i, j) of the rows' segment.
    BlockRow blockRow(const NodeRows& rows, int i, int dy)
    {
        const NodeVelocity a = node(rows, rows.top, i, rows.j);
        const NodeVelocity b = node(rows, rows.top, i + 1, rows.j);
        const NodeVelocity c = node(rows, rows.bottom, i, rows.j + 1);
        const NodeVelocity e = node(rows, rows.bottom, i + 1, rows.j + 1);
        const float fy = float(dy);
        BlockRow r;
        r.leftU = a.u + (c.u - a.u) * fy * kBlockFraction;
        r.leftV = a.v + (c.v - a.v) * fy * kBlockFraction;
        r.rightU = b.u + (e.u - b.u) * fy * kBlockFraction;
        r.rightV = b.v + (e.v - b.v) * fy * kBlockFraction;
        return r;
    }

  private:
    const NodeVelocity& node(const NodeRows& rows, CachedNode* row, int i,
                             int j)
    {
        CachedNode& n = row[i];
        if (n.row != j) {
            n.velocity = grids_.nodeAt(*rows.grid, i, j, distance_.data());
            n.row = j;
        }
        return n.velocity;
    }

    const SegmentGrids& grids_;
    std::vector<size_t> slotOf_; // per segment: its first node, or kNoSlot
    std::vector<CachedNode> nodes_;
    std::vector<long long> distance_; // scratch of nodeVelocity
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

// Writes the pixels of rows [rowBegin, rowEnd) and adds each segment's grey
// sum and pixel count of those rows to greySum and pixelCount (null without
// a workImage).
void fillRows(const SegmentGrids& segmentGrids, const LabelTable& labels,
              const CvMat* labelMap, const CvMat* workImage, CvMat* velx,
              CvMat* vely, OtherPixels others, int rowBegin, int rowEnd,
              int64_t* greySum, int* pixelCount)
{
    const std::vector<SegmentGrid>& grids = segmentGrids.grids();
    NodeCache nodes(segmentGrids);
    const int cols = labelMap->cols;
    for (int y = rowBegin; y < rowEnd; ++y) {
        const short* labelRow =
            reinterpret_cast<const short*>(labelMap->data.ptr) +
            size_t(y) * cols;
        float* rowX = reinterpret_cast<float*>(velx->data.ptr + y * velx->step);
        float* rowY = reinterpret_cast<float*>(vely->data.ptr + y * vely->step);
        const unsigned char* greyRow =
            workImage ? workImage->data.ptr + y * workImage->step : nullptr;
        if (others == OtherPixels::Zero) {
            std::fill(rowX, rowX + cols, 0.0f);
            std::fill(rowY, rowY + cols, 0.0f);
        }

        // Runs of one label value; each segment of that label writes the
        // part of the run inside its block area, in sequence order.
        int runEnd = 0;
        for (int runStart = 0; runStart < cols; runStart = runEnd) {
            const short value = labelRow[runStart];
            runEnd = runStart + 1;
            while (runEnd < cols && labelRow[runEnd] == value)
                ++runEnd;
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

    SegmentGrids segmentGrids(segments);
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
        fillRows(segmentGrids, labels, labelMap, workImage, velx, vely, others,
                 band.start, band.end, bandSum.data(), bandCount.data());
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
