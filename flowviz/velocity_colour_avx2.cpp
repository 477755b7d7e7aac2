// The velocity colour on four doubles at once with AVX2 and FMA; this file
// alone is compiled for them, and runs only where the processor has them.
#include "velocity_colour_kernel.h"
#include "velocity_colour_lanes.h"

#include <immintrin.h>

namespace ulk::viz::colour {

namespace {

struct Avx2Lanes : VectorArithmetic<__v4df, __v4di> {
    static constexpr int kLanes = 4;
    using D = __m256d;
    using M = __m256d; // all ones or all zeros per lane
    using I = __m128i;

    static D load(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static D set(double v) { return _mm256_set1_pd(v); }
    // a * b + c with one rounding.
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D floor(D a)
    {
        return _mm256_round_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    static D trunc(D a)
    {
        return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    static D roundNearest(D a)
    {
        return _mm256_round_pd(a,
                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    // The value rounded to float, as a double.
    static D roundToFloat(D a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
    // p * 2^-n for whole n in [0, 1022].
    static D scaleByPow2Neg(D p, D n)
    {
        // n + 2^52 holds n in its low bits; 1023 - n is the biased exponent.
        const __m256i low =
            _mm256_castpd_si256(_mm256_add_pd(n, _mm256_set1_pd(0x1p52)));
        const __m256i biased = _mm256_sub_epi64(
            _mm256_set1_epi64x(0x4330000000000000 + 1023), low);
        return _mm256_mul_pd(
            p, _mm256_castsi256_pd(_mm256_slli_epi64(biased, 52)));
    }

    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M andMask(M a, M b) { return _mm256_and_pd(a, b); }
    // a and not b.
    static M andNotMask(M a, M b) { return _mm256_andnot_pd(b, a); }
    static M sameMask(M a, M b)
    {
        return _mm256_castsi256_pd(
            _mm256_cmpeq_epi64(_mm256_castpd_si256(a), _mm256_castpd_si256(b)));
    }
    static unsigned bits(M m) { return unsigned(_mm256_movemask_pd(m)); }
    // m ? a : b per lane.
    static D select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }

    // Whole numbers 0..7 as indices into an 8-entry table.
    static I index(D a) { return _mm256_cvttpd_epi32(a); }
    static D lookup(const float* table, I i)
    {
        const __m256 entries = _mm256_permutevar8x32_ps(
            _mm256_load_ps(table), _mm256_castsi128_si256(i));
        return _mm256_cvtps_pd(_mm256_castps256_ps128(entries));
    }
    // Writes the low three bytes of each whole number in words.
    static void storeBgr(unsigned char* out, D words)
    {
        storeFourPixels(out, _mm256_cvttpd_epi32(words));
    }
};

} // namespace

void colourRowAvx2(const float* vx, const float* vy, int n, double k,
                   unsigned char* bgr)
{
    colourRow<Twice<Avx2Lanes>>(vx, vy, n, k, bgr);
}

} // namespace ulk::viz::colour
