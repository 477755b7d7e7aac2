// The velocity colour on eight doubles at once with AVX-512 (F and DQ);
// this file alone is compiled for them, and runs only where the processor
// has them.
#include "velocity_colour_kernel.h"

// GCC 12's AVX-512 header starts some conversions from an undefined vector
// and then warns about it; the warning is about the header, not this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "velocity_colour_lanes.h"

namespace ulk::viz::colour {

namespace {

struct Avx512Lanes : VectorArithmetic<__v8df, __v8di> {
    static constexpr int kLanes = 8;
    using D = __m512d;
    using M = __mmask8;
    using I = __m256i;

    static D load(const float* p)
    {
        return _mm512_cvtps_pd(_mm256_loadu_ps(p));
    }
    static D set(double v) { return _mm512_set1_pd(v); }
    // a * b + c with one rounding.
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D floor(D a)
    {
        return _mm512_roundscale_pd(a,
                                    _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    static D trunc(D a)
    {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    static D roundNearest(D a)
    {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEAREST_INT |
                                           _MM_FROUND_NO_EXC);
    }
    // The value rounded to float, as a double.
    static D roundToFloat(D a) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(a)); }
    // p * 2^-n for whole n; exact while the result is a normal number.
    static D scaleByPow2Neg(D p, D n) { return _mm512_scalef_pd(p, neg(n)); }

    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M andMask(M a, M b) { return M(a & b); }
    // a and not b.
    static M andNotMask(M a, M b) { return M(a & ~b); }
    static M sameMask(M a, M b) { return M(~(a ^ b)); }
    static unsigned bits(M m) { return m; }
    // m ? a : b per lane.
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }

    // Whole numbers 0..7 as indices into an 8-entry table.
    static I index(D a) { return _mm512_cvttpd_epi32(a); }
    static D lookup(const float* table, I i)
    {
        return _mm512_cvtps_pd(
            _mm256_permutevar8x32_ps(_mm256_load_ps(table), i));
    }
    // Writes the low three bytes of each whole number in words.
    static void storeBgr(unsigned char* out, D words)
    {
        const __m256i whole = _mm512_cvttpd_epi32(words);
        storeFourPixels(out, _mm256_castsi256_si128(whole));
        storeFourPixels(out + 12, _mm256_extracti128_si256(whole, 1));
    }
};

} // namespace

void colourRowAvx512(const float* vx, const float* vy, int n, double k,
                     unsigned char* bgr)
{
    colourRow<Twice<Avx512Lanes>>(vx, vy, n, k, bgr);
}

} // namespace ulk::viz::colour
