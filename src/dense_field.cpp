// Dense velocity field: each segment's valid tracking points give velocities
// at the nodes of an 8-pixel grid over its rectangle, weighted by how much
// nearer a point is than the farthest one, and the pixels between the nodes
// take the bilinear blend of their four nodes.
//
// The node grids of all segments are computed first; then one pass over the
// label map, run by run of equal labels, gives every pixel that lies in the
// block area of a segment with its label the blend of that segment's nodes.
// A pixel carries one label, so this writes what a sweep of every segment's
// blocks would write, without reading the label map once per overlapping
// rectangle.
#include "dense_field.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <vector>

namespace {

const int kNodeSpacing = 8;          // pixels between grid nodes
const int kNodeShift = 3;            // log2(kNodeSpacing)
const float kBlockFraction = 0.125f; // 1 / kNodeSpacing

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

// One segment's node grid, its block area and its grey statistics.
struct SegmentGrid {
    SegmentRecord* record;
    int rectX, rectY;
    int lastX, lastY;  // block area: rectX..lastX, rectY..lastY; empty when
                       // lastX < rectX
    int nx;            // nodes per grid row
    size_t firstNode;  // index of node (0, 0) in the node table
    PointSpan points;  // its valid points
    int nextSameLabel; // next segment of the same label, or -1
    long long greySum; // a 4K segment of white passes the range of an int
    int pixelCount;
};

// The blend across one block row: the values at the block's left and right
// node columns, interpolated down to row dy.
struct BlockRow {
    float leftU, leftV, rightU, rightV;
};

// The node grids of all segments. A node is computed when a block that it
// borders first holds a pixel to write, so nodes around which a segment has
// no pixel cost nothing.
class NodeGrids {
  public:
    explicit NodeGrids(CvSeq* segments) : grids_(size_t(segments->total))
    {
        size_t nodeCount = 0;
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
            g.greySum = 0;
            g.pixelCount = 0;
            g.points = collectValidPoints(record->points);
            g.firstNode = nodeCount;
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
            nodeCount += size_t(g.nx) * size_t(height / kNodeSpacing + 2);
        }
        nodes_.resize(nodeCount);
        ready_.assign(nodeCount, 0);
    }

    std::vector<SegmentGrid>& grids() { return grids_; }

    // Row dy of block (i, j) of segment g.
    BlockRow blockRow(const SegmentGrid& g, int i, int j, int dy)
    {
        const NodeVelocity a = node(g, i, j);
        const NodeVelocity b = node(g, i + 1, j);
        const NodeVelocity c = node(g, i, j + 1);
        const NodeVelocity e = node(g, i + 1, j + 1);
        const float fy = float(dy);
        BlockRow r;
        r.leftU = a.u + (c.u - a.u) * fy * kBlockFraction;
        r.leftV = a.v + (c.v - a.v) * fy * kBlockFraction;
        r.rightU = b.u + (e.u - b.u) * fy * kBlockFraction;
        r.rightV = b.v + (e.v - b.v) * fy * kBlockFraction;
        return r;
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
        if (distance_.size() < size_t(span.count))
            distance_.resize(size_t(span.count));
        return span;
    }

    const NodeVelocity& node(const SegmentGrid& g, int i, int j)
    {
        const size_t k = g.firstNode + size_t(j) * size_t(g.nx) + size_t(i);
        if (!ready_[k]) {
            const size_t p = g.points.first;
            nodes_[k] = nodeVelocity(
                x_.data() + p, y_.data() + p, vx_.data() + p, vy_.data() + p,
                g.points.count, g.rectX + kNodeSpacing * i,
                g.rectY + kNodeSpacing * j, distance_.data());
            ready_[k] = 1;
        }
        return nodes_[k];
    }

    std::vector<SegmentGrid> grids_;
    std::vector<NodeVelocity> nodes_;
    std::vector<unsigned char> ready_;
    std::vector<int> x_, y_, vx_, vy_; // valid points of all segments
    std::vector<long long> distance_;  // scratch of nodeVelocity
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

} // namespace

void fillDenseField(CvSeq* segments, const CvMat* labelMap,
                    const CvMat* workImage, CvMat* velx, CvMat* vely)
{
    assert(CV_MAT_TYPE(labelMap->type) == CV_16UC1);

    NodeGrids nodeGrids(segments);
    std::vector<SegmentGrid>& grids = nodeGrids.grids();
    const LabelTable labels(&grids);

    const int cols = labelMap->cols;
    for (int y = 0; y < labelMap->rows; ++y) {
        const short* labelRow =
            reinterpret_cast<const short*>(labelMap->data.ptr) +
            size_t(y) * cols;
        float* rowX = reinterpret_cast<float*>(velx->data.ptr + y * velx->step);
        float* rowY = reinterpret_cast<float*>(vely->data.ptr + y * vely->step);
        const unsigned char* greyRow =
            workImage ? workImage->data.ptr + y * workImage->step : nullptr;

        // Runs of one label value; each segment of that label writes the
        // part of the run inside its block area, in sequence order.
        int runEnd = 0;
        for (int runStart = 0; runStart < cols; runStart = runEnd) {
            const short value = labelRow[runStart];
            runEnd = runStart + 1;
            while (runEnd < cols && labelRow[runEnd] == value)
                ++runEnd;
            for (int s = labels.first(value); s >= 0;
                 s = grids[s].nextSameLabel) {
                SegmentGrid& g = grids[s];
                if (y < g.rectY || y > g.lastY)
                    continue;
                const int from = std::max(runStart, g.rectX);
                const int to = std::min(runEnd - 1, g.lastX);
                if (from > to)
                    continue;
                if (greyRow) {
                    for (int x = from; x <= to; ++x)
                        g.greySum += greyRow[x];
                    g.pixelCount += to - from + 1;
                }
                const int j = (y - g.rectY) >> kNodeShift;
                const int dy = (y - g.rectY) & (kNodeSpacing - 1);
                // Block by block across [from, to].
                for (int x = from; x <= to;) {
                    const int i = (x - g.rectX) >> kNodeShift;
                    const int blockX = g.rectX + (i << kNodeShift);
                    const int blockEnd =
                        std::min(to, blockX + kNodeSpacing - 1);
                    const BlockRow row = nodeGrids.blockRow(g, i, j, dy);
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

    if (workImage) {
        for (const SegmentGrid& g : grids) {
            g.record->pixelCount = g.pixelCount;
            if (g.pixelCount != 0)
                g.record->meanGrey =
                    static_cast<unsigned char>(g.greySum / g.pixelCount);
        }
    }
}
