// The box of an outline's points with AVX2; this file alone is compiled for
// it, and runs only where the processor has it.
#include "engine/contour_visitors.h"

#include <immintrin.h>

namespace ulk {

void extendBoxAvx2(const CvPoint* points, size_t count, int* boxMin,
                   int* boxMax)
{
    // (x, y) pairs, four points to a vector; the box's own corners start
    // every pair of lanes.
    const __m128i low =
        _mm_set_epi32(boxMin[1], boxMin[0], boxMin[1], boxMin[0]);
    const __m128i high =
        _mm_set_epi32(boxMax[1], boxMax[0], boxMax[1], boxMax[0]);
    __m256i least = _mm256_set_m128i(low, low);
    __m256i most = _mm256_set_m128i(high, high);
    const int* at = reinterpret_cast<const int*>(points);
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256i four =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2 * i));
        least = _mm256_min_epi32(least, four);
        most = _mm256_max_epi32(most, four);
    }
    __m128i least2 = _mm_min_epi32(_mm256_castsi256_si128(least),
                                   _mm256_extracti128_si256(least, 1));
    __m128i most2 = _mm_max_epi32(_mm256_castsi256_si128(most),
                                  _mm256_extracti128_si256(most, 1));
    for (; i < count; ++i) {
        // The point in both pairs of lanes.
        const __m128i one = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at + 2 * i)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at + 2 * i)));
        least2 = _mm_min_epi32(least2, one);
        most2 = _mm_max_epi32(most2, one);
    }
    least2 = _mm_min_epi32(least2, _mm_unpackhi_epi64(least2, least2));
    most2 = _mm_max_epi32(most2, _mm_unpackhi_epi64(most2, most2));
    boxMin[0] = _mm_cvtsi128_si32(least2);
    boxMin[1] = _mm_extract_epi32(least2, 1);
    boxMax[0] = _mm_cvtsi128_si32(most2);
    boxMax[1] = _mm_extract_epi32(most2, 1);
}

} // namespace ulk
