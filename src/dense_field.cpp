// Dense velocity field: each segment's valid tracking points give velocities
// at the nodes of an 8-pixel grid over its rectangle, weighted by how much
// nearer a point is than the farthest one, and the pixels between the nodes
// take the bilinear blend of their four nodes.
#include "dense_field.h"

#include <cassert>
#include <cstring>

namespace {

const int kNodeSpacing = 8;          // pixels between grid nodes
const float kBlockFraction = 0.125f; // 1 / kNodeSpacing

// One valid point of a segment with its squared distance to the node at
// hand.
struct PointEntry {
    const TrackPoint* point;
    int distance;
};

struct NodeVelocity {
    float u;
    float v;
};

// Collects the valid points of a segment's point list, once per occurrence.
int collectValidPoints(CvSeq* points, PointEntry* table)
{
    int m = 0;
    CvSeqReader reader;
    cvStartReadSeq(points, &reader, 0);
    for (int i = 0; i < points->total; ++i) {
        // List elements are pointers stored without alignment.
        const TrackPoint* point;
        std::memcpy(&point, reader.ptr, sizeof(point));
        if (point->valid != 0) {
            table[m].point = point;
            table[m].distance = 0;
            ++m;
        }
        CV_NEXT_SEQ_ELEM(points->elem_size, reader);
    }
    return m;
}

// Velocity at node (nodeX, nodeY): each entry weighs (D - d) / S, D the
// largest squared distance and S the sum of (D - d). When S is 0 (one point,
// or all equally far) the node takes the plain mean of the entries.
NodeVelocity nodeVelocity(PointEntry* table, int m, int nodeX, int nodeY)
{
    int farthest = 0;
    for (int k = 0; k < m; ++k) {
        const int ex = table[k].point->x - nodeX;
        const int ey = table[k].point->y - nodeY;
        table[k].distance = ex * ex + ey * ey;
        if (table[k].distance > farthest)
            farthest = table[k].distance;
    }
    int spread = 0;
    for (int k = 0; k < m; ++k)
        spread += farthest - table[k].distance;

    NodeVelocity node = {0.0f, 0.0f};
    if (spread != 0) {
        for (int k = 0; k < m; ++k) {
            const double w =
                double(farthest - table[k].distance) / double(spread);
            node.u = static_cast<float>(node.u + w * table[k].point->vx);
            node.v = static_cast<float>(node.v + w * table[k].point->vy);
        }
    } else if (m > 0) {
        for (int k = 0; k < m; ++k) {
            node.u = static_cast<float>(node.u + double(table[k].point->vx));
            node.v = static_cast<float>(node.v + double(table[k].point->vy));
        }
        node.u /= static_cast<float>(m);
        node.v /= static_cast<float>(m);
    }
    return node;
}

// Statistics of the pixels written for one segment.
struct GreyStats {
    int sum;
    int count;
};

// Writes the bilinear blend of the nodes into every pixel of the segment's
// blocks that carries its label; counts grey values when grey is given.
void fillSegmentPixels(const SegmentRecord* record, const NodeVelocity* nodes,
                       int nx, const CvMat* labelMap, const CvMat* grey,
                       CvMat* velx, CvMat* vely, GreyStats* stats)
{
    const int label = record->label;
    const int rectX = record->rectX;
    const int rectY = record->rectY;
    const int lastBlockX = rectX + record->rectWidth;
    const int lastBlockY = rectY + record->rectHeight;

    for (int by = rectY, j = 0; by <= lastBlockY; by += kNodeSpacing, ++j) {
        for (int bx = rectX, i = 0; bx <= lastBlockX; bx += kNodeSpacing, ++i) {
            const NodeVelocity a = nodes[j * nx + i];
            const NodeVelocity b = nodes[j * nx + i + 1];
            const NodeVelocity c = nodes[(j + 1) * nx + i];
            const NodeVelocity e = nodes[(j + 1) * nx + i + 1];
            for (int dy = 0; dy < kNodeSpacing; ++dy) {
                const int y = by + dy;
                // Rows outside the map hold no label.
                if (y < 0 || y >= labelMap->rows)
                    continue;
                const short* labels = reinterpret_cast<const short*>(
                    labelMap->data.ptr + y * labelMap->step);
                float* rowX =
                    reinterpret_cast<float*>(velx->data.ptr + y * velx->step);
                float* rowY =
                    reinterpret_cast<float*>(vely->data.ptr + y * vely->step);
                const float fy = float(dy);
                const float leftU = a.u + (c.u - a.u) * fy * kBlockFraction;
                const float leftV = a.v + (c.v - a.v) * fy * kBlockFraction;
                const float rightU = b.u + (e.u - b.u) * fy * kBlockFraction;
                const float rightV = b.v + (e.v - b.v) * fy * kBlockFraction;
                for (int dx = 0; dx < kNodeSpacing; ++dx) {
                    const int x = bx + dx;
                    if (x < 0 || x >= labelMap->cols || labels[x] != label)
                        continue;
                    if (stats) {
                        stats->sum += grey->data.ptr[y * grey->step + x];
                        stats->count += 1;
                    }
                    const float fx = float(dx);
                    rowX[x] = leftU + (rightU - leftU) * fx * kBlockFraction;
                    rowY[x] = leftV + (rightV - leftV) * fx * kBlockFraction;
                }
            }
        }
    }
}

} // namespace

void fillDenseField(CvSeq* segments, const CvMat* labelMap,
                    const CvMat* workImage, CvMat* velx, CvMat* vely)
{
    assert(CV_MAT_TYPE(labelMap->type) == CV_16UC1);

    CvSeqReader reader;
    cvStartReadSeq(segments, &reader, 0);
    for (int s = 0; s < segments->total; ++s) {
        SegmentRecord* record = reinterpret_cast<SegmentRecord*>(reader.ptr);
        CvSeq* points = record->points;
        const int rectX = record->rectX;
        const int rectY = record->rectY;
        assert(record->rectWidth >= 0 && record->rectHeight >= 0);

        // cvAlloc is kept away from zero-byte requests.
        const int listLength = points->total > 0 ? points->total : 1;
        PointEntry* table =
            static_cast<PointEntry*>(cvAlloc(listLength * sizeof(PointEntry)));
        const int m = collectValidPoints(points, table);

        const int nx = record->rectWidth / kNodeSpacing + 2;
        const int ny = record->rectHeight / kNodeSpacing + 2;
        NodeVelocity* nodes = static_cast<NodeVelocity*>(
            cvAlloc(size_t(nx) * size_t(ny) * sizeof(NodeVelocity)));
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                nodes[j * nx + i] =
                    nodeVelocity(table, m, rectX + kNodeSpacing * i,
                                 rectY + kNodeSpacing * j);

        GreyStats stats = {0, 0};
        fillSegmentPixels(record, nodes, nx, labelMap, workImage, velx, vely,
                          workImage ? &stats : nullptr);

        cvFree(&nodes);
        cvFree(&table);

        if (workImage) {
            record->pixelCount = stats.count;
            if (stats.count != 0)
                record->meanGrey =
                    static_cast<unsigned char>(stats.sum / stats.count);
        }
        CV_NEXT_SEQ_ELEM(segments->elem_size, reader);
    }
}
