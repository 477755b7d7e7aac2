// The dense field's node velocity with AVX2; this file alone is compiled
// for it, and runs only where the processor has it.
#include "engine/dense_field_blocks.h"
#include "engine/dense_field_kernels.h"

#include <immintrin.h>

#include <cstdint>

namespace ulk {

namespace {

// Lanes 0 .. n - 1 all ones, for n in 0..8.
__m256i firstLanes(int n)
{
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

} // namespace

NodeVelocity nodeVelocityAvx2(const int* px, const int* py, const int* vx,
                              const int* vy, int m, int nodeX, int nodeY,
                              int* distance, double* products)
{
    // The squared distances in 32 bits (the offsets stay within
    // kNodeVectorReach): the largest, and the sum of all, which gives the
    // spread as m times the largest less the sum, exactly.
    const __m256i nodeXs = _mm256_set1_epi32(nodeX);
    const __m256i nodeYs = _mm256_set1_epi32(nodeY);
    const auto distancesAt = [&](int k, __m256i lanes) {
        const __m256i ex =
            _mm256_sub_epi32(_mm256_maskload_epi32(px + k, lanes), nodeXs);
        const __m256i ey =
            _mm256_sub_epi32(_mm256_maskload_epi32(py + k, lanes), nodeYs);
        return _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(ex, ex),
                                                 _mm256_mullo_epi32(ey, ey)),
                                lanes);
    };
    __m256i farthest = _mm256_setzero_si256();
    __m256i sum = _mm256_setzero_si256(); // four 64-bit sums
    for (int k = 0; k < m; k += 8) {
        const __m256i d = distancesAt(k, firstLanes(m - k));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(distance + k), d);
        farthest = _mm256_max_epi32(farthest, d);
        sum = _mm256_add_epi64(
            sum, _mm256_add_epi64(
                     _mm256_cvtepi32_epi64(_mm256_castsi256_si128(d)),
                     _mm256_cvtepi32_epi64(_mm256_extracti128_si256(d, 1))));
    }
    __m128i top = _mm_max_epi32(_mm256_castsi256_si128(farthest),
                                _mm256_extracti128_si256(farthest, 1));
    top = _mm_max_epi32(top, _mm_shuffle_epi32(top, 0x4e));
    top = _mm_max_epi32(top, _mm_shuffle_epi32(top, 0xb1));
    const int largest = _mm_cvtsi128_si32(top);
    const __m128i sum2 = _mm_add_epi64(_mm256_castsi256_si128(sum),
                                       _mm256_extracti128_si256(sum, 1));
    const long long total = _mm_cvtsi128_si64(sum2) +
                            _mm_cvtsi128_si64(_mm_unpackhi_epi64(sum2, sum2));
    const long long spread = (long long)m * largest - total;

    NodeVelocity node = {0.0f, 0.0f};
    if (spread == 0) {
        // The plain mean, as the scalar code takes it.
        for (int k = 0; k < m; ++k) {
            node.u = static_cast<float>(node.u + double(vx[k]));
            node.v = static_cast<float>(node.v + double(vy[k]));
        }
        if (m > 0) {
            node.u /= static_cast<float>(m);
            node.v /= static_cast<float>(m);
        }
        return node;
    }

    // Each point's w * vx and w * vy, side by side, four points at a time;
    // then the sums in point order, each rounded to float as it goes.
    const __m256d spreads = _mm256_set1_pd(double(spread));
    const __m128i largests = _mm_set1_epi32(largest);
    for (int k = 0; k < m; k += 4) {
        const __m128i lanes = _mm256_castsi256_si128(firstLanes(m - k));
        const __m128i d =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(distance + k));
        const __m256d w = _mm256_div_pd(
            _mm256_cvtepi32_pd(_mm_sub_epi32(largests, d)), spreads);
        const __m256d u = _mm256_mul_pd(
            w, _mm256_cvtepi32_pd(_mm_maskload_epi32(vx + k, lanes)));
        const __m256d v = _mm256_mul_pd(
            w, _mm256_cvtepi32_pd(_mm_maskload_epi32(vy + k, lanes)));
        // (u0, v0, u1, v1) and (u2, v2, u3, v3).
        const __m256d low = _mm256_unpacklo_pd(u, v);
        const __m256d high = _mm256_unpackhi_pd(u, v);
        _mm256_storeu_pd(products + 2 * k,
                         _mm256_permute2f128_pd(low, high, 0x20));
        _mm256_storeu_pd(products + 2 * k + 4,
                         _mm256_permute2f128_pd(low, high, 0x31));
    }
    __m128 uv = _mm_setzero_ps();
    for (int k = 0; k < m; ++k)
        uv = _mm_cvtpd_ps(
            _mm_add_pd(_mm_cvtps_pd(uv), _mm_loadu_pd(products + 2 * k)));
    node.u = _mm_cvtss_f32(uv);
    node.v = _mm_cvtss_f32(_mm_shuffle_ps(uv, uv, 1));
    return node;
}

} // namespace ulk

namespace ulk {

void blendRunAvx2(float* rowU, float* rowV, int cols, const BlendedRun& run)
{
    const __m256 eighth = _mm256_set1_ps(0.125f);
    const __m256 fx =
        _mm256_setr_ps(0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f);
    const __m256i column = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    forEachBlock(
        rowU, rowV, cols, run,
        [&](int x, int blockX, int blockEnd, __m128 ends, __m128 span) {
            // All ones in the columns x - blockX .. blockEnd - blockX.
            const __m256 take = _mm256_castsi256_ps(_mm256_and_si256(
                _mm256_cmpgt_epi32(column, _mm256_set1_epi32(x - blockX - 1)),
                _mm256_cmpgt_epi32(_mm256_set1_epi32(blockEnd - blockX + 1),
                                   column)));
            const auto write = [&](float* p, __m128 start, __m128 step) {
                const __m256 value = _mm256_add_ps(
                    _mm256_broadcastss_ps(start),
                    _mm256_mul_ps(
                        _mm256_mul_ps(_mm256_broadcastss_ps(step), fx),
                        eighth));
                _mm256_storeu_ps(
                    p, _mm256_blendv_ps(_mm256_loadu_ps(p), value, take));
            };
            write(rowU + blockX, ends, span);
            write(rowV + blockX, _mm_shuffle_ps(ends, ends, 0x55),
                  _mm_shuffle_ps(span, span, 0x55));
        });
}

} // namespace ulk
