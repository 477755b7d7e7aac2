// The motion stage's window descriptors with AVX2; this file alone is
// compiled for it, and runs only where the processor has it. A descriptor
// stays in four vectors of eight contrasts, the cells of its window in
// rows of four, each against the cell one row and column on (diagonal) and
// its right neighbour against its lower one (anti-diagonal); the lanes of
// the last row and column hold 0 in every descriptor, so a cost sums the
// same 18 differences as the plain code.
#include "engine/motion_search.h"

#include <immintrin.h>

namespace ulk {

namespace {

// Eight contrasts of 32-bit sums from 0 to 65535, as contrastOf gives them:
// the quotient n * 32767 / m (below 2^31) from a float division, which is
// off by at most one, made exact by the remainder.
inline __m256i contrastOf8(__m256i p, __m256i q)
{
    const __m256i m = _mm256_max_epi32(p, q);
    const __m256i n = _mm256_min_epi32(p, q);
    const __m256i scaledN =
        _mm256_mullo_epi32(n, _mm256_set1_epi32(kFullContrast));
    __m256i quotient = _mm256_cvttps_epi32(
        _mm256_div_ps(_mm256_cvtepi32_ps(scaledN), _mm256_cvtepi32_ps(m)));
    const __m256i remainder =
        _mm256_sub_epi32(scaledN, _mm256_mullo_epi32(quotient, m));
    // One less where the remainder is negative, one more where it reaches m
    // (the masks are -1 where true).
    quotient = _mm256_add_epi32(
        quotient, _mm256_cmpgt_epi32(_mm256_setzero_si256(), remainder));
    quotient = _mm256_sub_epi32(
        quotient, _mm256_cmpgt_epi32(
                      remainder, _mm256_sub_epi32(m, _mm256_set1_epi32(1))));
    const __m256i c =
        _mm256_sub_epi32(_mm256_set1_epi32(kFullContrast), quotient);
    // +c where p > q, else -c; 0 where m is 0.
    const __m256i signedC =
        _mm256_blendv_epi8(_mm256_sub_epi32(_mm256_setzero_si256(), c), c,
                           _mm256_cmpgt_epi32(p, q));
    return _mm256_andnot_si256(_mm256_cmpeq_epi32(m, _mm256_setzero_si256()),
                               signedC);
}

// A window's 32 lanes of contrasts (see the file's comment).
struct Contrasts {
    __m256i lane[4];
};

struct Avx2Windows {
    const CvMat* older;
    const CvMat* newer;
    using Reference = Contrasts;

    static Contrasts describe(const CvMat* integral, int x0, int y0)
    {
        // The 16 cells in rows of four, then zeros for the shifted loads.
        alignas(32) int cell[32] = {};
        unsigned outside = 0; // high bits of any cell sum out of 0..65535
        for (int r = 0; r <= kGridRows; ++r) {
            const int ya = y0 + r * kCellHeight;
            for (int c = 0; c <= kGridCols; ++c) {
                const int xa = x0 + c * kCellWidth;
                const int sum = boxSum(integral->data.ptr, integral->step, xa,
                                       ya, xa + kCellWidth, ya + kCellHeight);
                cell[r * 4 + c] = sum;
                outside |= unsigned(sum);
            }
        }
        // Lanes of row or column 3 hold no contrast.
        const __m256i first = _mm256_setr_epi32(-1, -1, -1, 0, -1, -1, -1, 0);
        const __m256i second = _mm256_setr_epi32(-1, -1, -1, 0, 0, 0, 0, 0);
        const auto load = [&cell](int k) {
            return _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(cell + k));
        };
        Contrasts d;
        if ((outside >> 16) == 0) {
            d.lane[0] = _mm256_and_si256(contrastOf8(load(0), load(5)), first);
            d.lane[1] =
                _mm256_and_si256(contrastOf8(load(8), load(13)), second);
            d.lane[2] = _mm256_and_si256(contrastOf8(load(1), load(4)), first);
            d.lane[3] =
                _mm256_and_si256(contrastOf8(load(9), load(12)), second);
            return d;
        }
        // Sums beyond the vector division's range, one at a time.
        alignas(32) int plain[32] = {};
        for (int r = 0; r < kGridRows; ++r) {
            for (int c = 0; c < kGridCols; ++c) {
                const int k = r * 4 + c;
                plain[k] = contrastOf(cell[k], cell[k + 5]);
                plain[16 + k] = contrastOf(cell[k + 1], cell[k + 4]);
            }
        }
        for (int v = 0; v < 4; ++v)
            d.lane[v] =
                _mm256_load_si256(reinterpret_cast<const __m256i*>(plain) + v);
        return d;
    }

    Reference reference(int x0, int y0) const
    {
        return describe(newer, x0, y0);
    }

    uint64_t cost(int x0, int y0, const Reference& reference) const
    {
        const Contrasts d = describe(older, x0, y0);
        __m256i sum = _mm256_setzero_si256();
        for (int v = 0; v < 4; ++v)
            sum = _mm256_add_epi32(sum, _mm256_abs_epi32(_mm256_sub_epi32(
                                            d.lane[v], reference.lane[v])));
        __m128i half = _mm_add_epi32(_mm256_castsi256_si128(sum),
                                     _mm256_extracti128_si256(sum, 1));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4e));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xb1));
        return uint64_t(uint32_t(_mm_cvtsi128_si32(half)));
    }
};

} // namespace

void boxContrastsAvx2(const int* p, const int* q, short* contrast)
{
    const __m256i c =
        contrastOf8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(contrast),
                     _mm_packs_epi32(_mm256_castsi256_si128(c),
                                     _mm256_extracti128_si256(c, 1)));
}

void estimatePointMotionAvx2(TrackPoint* point, const CvMat* integralA,
                             const CvMat* integralB, int width, int height)
{
    searchPointMotion(point, Avx2Windows{integralA, integralB}, width, height);
}

} // namespace ulk
