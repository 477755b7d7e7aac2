// The dense field's inner parts on every vector path: a node's velocity
// from its segment's points and the blend across a block row of pixels.
// Internal to the engine; the paths give the same bytes.
#ifndef OF_ULK_DENSE_FIELD_KERNELS_H
#define OF_ULK_DENSE_FIELD_KERNELS_H

#include "engine/vector_paths.h"

namespace ulk {

struct NodeVelocity {
    float u;
    float v;
};

// Velocity at node (nodeX, nodeY) from m points: each weighs (D - d) / S, D
// the largest squared distance and S the sum of (D - d). When S is 0 (one
// point, or all equally far) the node takes the plain mean of the points.
// distance is scratch for m values.
NodeVelocity nodeVelocity(const int* px, const int* py, const int* vx,
                          const int* vy, int m, int nodeX, int nodeY,
                          long long* distance);

// Offsets between a point and a node below this, in both coordinates, keep
// a squared distance, and the difference of two, in 31 bits.
const int kNodeVectorReach = 23170;

// nodeVelocity with AVX2, for points within kNodeVectorReach of the node;
// distance is scratch for m + 8 values and products for 2 m + 8. Only where
// the processor has AVX2.
NodeVelocity nodeVelocityAvx2(const int* px, const int* py, const int* vx,
                              const int* vy, int m, int nodeX, int nodeY,
                              int* distance, double* products);

// The part from..to of one row's run of a segment's pixels, all in the
// segment's block area, in block row dy (0..7) between two node rows of its
// 8-pixel grid: top[i] and bottom[i] are the velocities of the nodes above
// and below the block i that starts at column rectX + 8 i.
struct BlendedRun {
    const NodeVelocity* top;
    const NodeVelocity* bottom;
    int rectX;
    int from, to;
    int dy;
};

// Writes the bilinear blend of the run's nodes into rowU and rowV (cols
// columns) at from..to: the velocities at the block's left and right node
// columns interpolated down to row dy, then across to the pixel's column,
// each product and sum rounded to float as written:
//   left = a + (c - a) * dy * 0.125,  right = b + (e - b) * dy * 0.125,
//   pixel = left + (right - left) * dx * 0.125.
// Every path writes the same bytes and no other pixel.
using BlendRun = void (*)(float* rowU, float* rowV, int cols,
                          const BlendedRun& run);
void blendRunScalar(float* rowU, float* rowV, int cols, const BlendedRun& run);
void blendRunSse2(float* rowU, float* rowV, int cols, const BlendedRun& run);
// Only where the processor has AVX2.
void blendRunAvx2(float* rowU, float* rowV, int cols, const BlendedRun& run);
// The blend of the given path.
BlendRun blendRunOn(VectorPath path);

} // namespace ulk

#endif
