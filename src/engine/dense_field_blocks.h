// The walk over a run's 8-pixel blocks that the SSE2 and AVX2 blends share.
// Internal to the engine; x86 only.
#ifndef OF_ULK_DENSE_FIELD_BLOCKS_H
#define OF_ULK_DENSE_FIELD_BLOCKS_H

#include "engine/dense_field_kernels.h"

#include <emmintrin.h>

namespace ulk {

// Blocks of the run across the map's border go to blendRunScalar. For every
// other block, blendBlock(x, blockX, blockEnd, ends, span) writes the run's
// pixels x..blockEnd of the block that starts at column blockX, given
// (leftU, leftV, rightU, rightV) at row dy in ends and (spanU, spanV) in the
// low lanes of span, each rounded to float as blendRunScalar rounds them.
template <class BlendBlock>
inline void forEachBlock(float* rowU, float* rowV, int cols,
                         const BlendedRun& run, const BlendBlock& blendBlock)
{
    const __m128 fy = _mm_set1_ps(float(run.dy));
    const __m128 eighth = _mm_set1_ps(0.125f);
    for (int x = run.from; x <= run.to;) {
        const int i = (x - run.rectX) >> 3;
        const int blockX = run.rectX + (i << 3);
        const int blockEnd = run.to < blockX + 7 ? run.to : blockX + 7;
        if (blockX < 0 || blockX + 8 > cols) {
            // A block across the map's border, one pixel at a time.
            BlendedRun part = run;
            part.from = x;
            part.to = blockEnd;
            blendRunScalar(rowU, rowV, cols, part);
        } else {
            // The nodes i and i + 1 of the two rows.
            const __m128 upper =
                _mm_loadu_ps(reinterpret_cast<const float*>(run.top + i));
            const __m128 lower =
                _mm_loadu_ps(reinterpret_cast<const float*>(run.bottom + i));
            const __m128 ends = _mm_add_ps(
                upper,
                _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(lower, upper), fy), eighth));
            const __m128 span = _mm_sub_ps(_mm_movehl_ps(ends, ends), ends);
            blendBlock(x, blockX, blockEnd, ends, span);
        }
        x = blockEnd + 1;
    }
}

} // namespace ulk

#endif
