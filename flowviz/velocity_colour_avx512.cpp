// The velocity colour on eight doubles at once with AVX-512 (F and DQ);
// this file alone is compiled for them, and runs only where the processor
// has them.
#include "velocity_colour_kernel.h"

// GCC 12's AVX-512 header starts some conversions from an undefined vector
// and then warns about it; the warning is about the header, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace ulk::viz::colour {

namespace {

struct Avx512Lanes {
    static constexpr int kLanes = 8;
    using D = __m512d;
    using M = __mmask8;
    using I = __m256i;

    static D load(const float* p)
    {
        return _mm512_cvtps_pd(_mm256_loadu_ps(p));
    }
    static D set(double v) { return _mm512_set1_pd(v); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    // a * b + c with one rounding.
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D neg(D a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
    static D abs(D a) { return _mm512_abs_pd(a); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    // The magnitude of a with the sign of b.
    static D copySign(D a, D b)
    {
        const D sign = _mm512_set1_pd(-0.0);
        return _mm512_or_pd(_mm512_andnot_pd(sign, a), _mm512_and_pd(sign, b));
    }
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
        const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13,
                                            14, -1, -1, -1, -1);
        const __m256i packed = _mm256_shuffle_epi8(
            _mm512_cvttpd_epi32(words), _mm256_broadcastsi128_si256(order));
        const __m128i low = _mm256_castsi256_si128(packed);
        const __m128i high = _mm256_extracti128_si256(packed, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), low);
        int last = _mm_extract_epi32(low, 2);
        std::memcpy(out + 8, &last, 4);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12), high);
        last = _mm_extract_epi32(high, 2);
        std::memcpy(out + 20, &last, 4);
    }
};

} // namespace

void colourRowAvx512(const float* vx, const float* vy, int n, double k,
                     unsigned char* bgr)
{
    colourRow<Twice<Avx512Lanes>>(vx, vy, n, k, bgr);
}

} // namespace ulk::viz::colour
