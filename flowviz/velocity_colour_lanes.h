// What the x86-64 lane sets of the colour kernel share (see
// velocity_colour_avx2.cpp and velocity_colour_avx512.cpp). The functions
// have internal linkage, so that each of those files, compiled for its own
// instructions, keeps its own copy.
#ifndef OF_ULK_VELOCITY_COLOUR_LANES_H
#define OF_ULK_VELOCITY_COLOUR_LANES_H

#include <immintrin.h>

#include <cstring>

namespace ulk::viz::colour {
namespace {

// The lane operations that GCC's vector types give directly, for a vector
// D of doubles (__v4df, __v8df: the intrinsics' types without their
// aliasing attribute) and the vector Bits of 64-bit integers of its size.
// The files are compiled with -ffp-contract=off, so a * b + c stays two
// roundings.
template <class D, class Bits> struct VectorArithmetic {
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D div(D a, D b) { return a / b; }
    static D neg(D a) { return -a; }
    static D abs(D a) { return D(Bits(a) & ~signBits()); }
    // The magnitude of a with the sign of b.
    static D copySign(D a, D b)
    {
        return D((Bits(a) & ~signBits()) | (Bits(b) & signBits()));
    }
    static Bits signBits() { return Bits(-D{}); }
};

// Writes the low three bytes of each of four 32-bit words: four pixels.
inline void storeFourPixels(unsigned char* out, __m128i words)
{
    const __m128i packed =
        _mm_shuffle_epi8(words, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12,
                                              13, 14, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    const int last = _mm_extract_epi32(packed, 2);
    std::memcpy(out + 8, &last, 4);
}

} // namespace
} // namespace ulk::viz::colour

#endif
