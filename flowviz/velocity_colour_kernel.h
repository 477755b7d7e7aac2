// The steps of the velocity colour that the scalar code and the vector
// kernels share, and the vector kernel itself, written once over a set of
// lane operations (see velocity_colour_avx2.cpp). Internal to flowviz.
//
// How the kernel gets every byte of the scalar code
// --------------------------------------------------
// velocityColour computes, in this order:
//   e  = float(y*y + x*x)                      (double sum, rounded to float)
//   t  = e * k
//   l  = 1 - exp(-t)                           (libm exp)
//   m2 = l <= 0.5 ? float(2 l) : 1             (the float 1 + l - l is 1)
//   m1 = float(2 l - m2)
//   A  = atan2(y, x)                           (libm atan2)
//   h  = ((A / pi + 1) * 180) * float(1 / 60), wrapped into [0, 6)
//   s  = floor(h), f = float(h) - s
//   W  = m1 + (m2 - m1) * g, g = f for an even sector, 1 - f for an odd one
//   bytes: trunc(255 m2), trunc(255 m1), trunc(255 float(W)), placed by s.
// The kernel computes e and t exactly as above. In place of exp and atan2 it
// evaluates polynomials whose distance to the libm result is bounded (see
// expNeg and atanOfRatio), which gives intervals [lLo, lHi] and [ALo, AHi]
// that hold the scalar's l and A. Every later step is non-decreasing in its
// input (rounding to float or double, truncation, m2 in l, h in A), so it
// evaluates the steps at both ends:
//   - s must come out equal at ALo and AHi; f = float(h) - s then lies
//     between its values there;
//   - m2 is 1 above the split and float(2 l) at or below it, m1 is
//     float(2 l - 1) above it and within 2^-24 m2 of 0 at or below it (the
//     float rounding error of 2 l); a rounding to float moves a value by at
//     most 2^-24 of itself, which bounds both at lLo and lHi without
//     rounding them; both ends must lie on one side of the split;
//   - W is non-decreasing in m1 and in m2 for g in [0, 1], and in g while
//     m2 >= m1, so it lies between its values at the low ends and at the
//     high ends, widened by the double rounding of its three operations.
// Where the three bytes come out equal at both ends they are the scalar
// bytes; the other pixels (about 50 in a million on textured motion) are
// recomputed by velocityColour. Motion along the x axis (y = +-0) gets the
// exact angle that atan2 gives there (+-0 or +-pi), so that still common
// case, whose angle sits on a sector boundary, never falls back.
#ifndef OF_ULK_VELOCITY_COLOUR_KERNEL_H
#define OF_ULK_VELOCITY_COLOUR_KERNEL_H

#include "velocity_colour.h"

#include <cstdint>
#include <cstring>

namespace ulk::viz::colour {

// HLS to BGR with saturation 1. The float constants are kept as floats on
// purpose: their rounding is part of the exact colours (for instance the
// float 1/60 turns a pure right motion's green into 254, not 255).
constexpr double kInvPi = 0.3183098861837907;
constexpr double kHalfTurnDegrees = 180.0;
constexpr float kLightnessSplit = 0.5f;
constexpr float kDegreesToSector = 1.0f / 60.0f;
constexpr float kSectorsPerTurn = 6.0f;
constexpr float kWrapLow = 0.0f;
constexpr float kByteScale = 255.0f;

// The vector kernels for x86-64 (velocity_colour_avx2.cpp and
// velocity_colour_avx512.cpp): the colours of n velocities into 3 n bytes.
// k must be finite and above 0.
void colourRowAvx2(const float* vx, const float* vy, int n, double k,
                   unsigned char* bgr);
void colourRowAvx512(const float* vx, const float* vy, int n, double k,
                     unsigned char* bgr);

// Bounds on the polynomials' distance to libm: their own error, as
// tools/colour_polynomials derives it, plus room for a libm that is
// several units in the last place off (glibc's exp and atan2 are within
// one).
constexpr double kFadePad = 0x1p-46;  // 1.42e-14 over a proven 2.24e-15
constexpr double kAnglePad = 0x1p-45; // 2.84e-14 over a proven 1.62e-15
// The double rounding of W's three operations, in the scalar code and here,
// each below 3 units of 2^-53 for operands within [-2^-24, 1].
constexpr double kMixPad = 0x1p-49;
// Beyond this t, exp(-t) < 4.3e-18 and the colour is white.
constexpr double kFadeEnd = 40.0;

// exp(-t) for 0 <= t: t = n ln2 - r with n = round(t / ln2), so
// |r| <= 0.34658 < 0.347 up to t = kFadeEnd, and exp(-t) = 2^-n exp(r).
// r is formed with ln2 split in two doubles and fused multiply-adds.
// exp(r) is the Taylor polynomial of degree 18 economized to degree 10
// with Chebyshev polynomials on [-0.347, 0.347], evaluated by Estrin's
// scheme. Scaling by 2^-n (n <= 58) is exact. Beyond kFadeEnd the result
// is 0.
template <class V> typename V::D expNeg(typename V::D t)
{
    using D = typename V::D;
    const D tc = V::min(t, V::set(kFadeEnd));
    const D n = V::roundNearest(V::mul(tc, V::set(1.4426950408889634)));
    D r = V::fma(n, V::set(0x1.62e42fefa39efp-1), V::neg(tc));
    r = V::fma(n, V::set(0x1.abc9e3b39803fp-56), r);
    // Estrin's scheme: a short chain of dependent steps.
    const D r2 = V::mul(r, r);
    const D r4 = V::mul(r2, r2);
    const D p01 = V::fma(V::set(0x1.000000000001fp+0), r, V::set(1.0));
    const D p23 =
        V::fma(V::set(0x1.555555554b5c2p-3), r, V::set(0x1.0000000000011p-1));
    const D p45 =
        V::fma(V::set(0x1.1111112e0d906p-7), r, V::set(0x1.555555554efcep-5));
    const D p67 =
        V::fma(V::set(0x1.a019781873fbfp-13), r, V::set(0x1.6c16c1883128bp-10));
    const D p89 =
        V::fma(V::set(0x1.72fba5215b681p-19), r, V::set(0x1.a019911e39082p-16));
    const D p03 = V::fma(p23, r2, p01);
    const D p47 = V::fma(p67, r2, p45);
    const D p8t = V::fma(V::set(0x1.28b488e52a24bp-22), r2, p89);
    const D p = V::fma(p8t, V::mul(r4, r4), V::fma(p47, r4, p03));
    const D e = V::scaleByPow2Neg(p, n);
    return V::select(V::gt(t, V::set(kFadeEnd)), V::set(0.0), e);
}

// atan2(y, x) for y != 0 from |x| and |y|. With a = min / max in [0, 1]:
// a above tan 15 degrees becomes z = (sqrt3 a - 1) / (sqrt3 + a), atan a =
// pi/6 + atan z; either way |z| <= 2 - sqrt3 < 0.26795, and z is formed
// with one division and fused multiply-adds, within 1.6 units of 2^-53.
// atan z = z q(z^2), q the Taylor polynomial of degree 24 in z^2
// economized to degree 7 on [0, 0.0718], evaluated by Estrin's scheme.
// Adding pi/6 and the octant's pi/2 or pi add below 7 units of 2^-53.
template <class V>
typename V::D atanOfRatio(typename V::D ax, typename V::D ay, typename V::D x,
                          typename V::D y)
{
    using D = typename V::D;
    using M = typename V::M;
    const D sqrt3 = V::set(1.7320508075688772);
    const D mn = V::min(ax, ay);
    const D mx = V::max(ax, ay);
    const M reduce = V::gt(mn, V::mul(mx, V::set(0.2679491924311227)));
    const D num = V::select(reduce, V::fma(sqrt3, mn, V::neg(mx)), mn);
    const D den = V::select(reduce, V::fma(sqrt3, mx, mn), mx);
    const D z = V::div(num, den);
    const D s = V::mul(z, z);
    const D s2 = V::mul(s, s);
    const D q01 =
        V::fma(V::set(-0x1.555555554dae9p-2), s, V::set(0x1.ffffffffffff7p-1));
    const D q23 =
        V::fma(V::set(-0x1.2492416fca071p-3), s, V::set(0x1.99999988058fap-3));
    const D q45 =
        V::fma(V::set(-0x1.73f8b134f21e3p-4), s, V::set(0x1.c7191de036fbbp-4));
    const D q67 =
        V::fma(V::set(-0x1.aaaa8bafc57e4p-5), s, V::set(0x1.3474506102cacp-4));
    const D q =
        V::fma(V::fma(q67, s2, q45), V::mul(s2, s2), V::fma(q23, s2, q01));
    // atan a, then the octant in one fused step: v, pi/2 - v (|y| > |x|),
    // pi - v (x < 0) or pi/2 + v (both).
    const D zero = V::set(0.0);
    const D angle =
        V::fma(z, q, V::select(reduce, V::set(0.5235987755982989), zero));
    const M swap = V::gt(ay, ax);
    const M back = V::lt(x, zero);
    const D sign =
        V::select(V::sameMask(swap, back), V::set(1.0), V::set(-1.0));
    const D base = V::select(swap, V::set(1.5707963267948966),
                             V::select(back, V::set(3.141592653589793), zero));
    return V::copySign(V::fma(sign, angle, base), y);
}

// The scalar code's hue chain from the angle A to the sector position h,
// wrapped from [6, 6.0000004] to the start. An angle below -pi (only ever
// a low end, from the pad) would need the wrap from below; its h stays
// negative instead, its sector -1 differs from the high end's and the
// pixel goes to the scalar code.
template <class V> typename V::D sectorPosition(typename V::D angle)
{
    using D = typename V::D;
    D h = V::mul(V::add(V::mul(angle, V::set(kInvPi)), V::set(1.0)),
                 V::set(kHalfTurnDegrees));
    h = V::mul(h, V::set(static_cast<double>(kDegreesToSector)));
    const D turn = V::set(static_cast<double>(kSectorsPerTurn));
    return V::select(V::ge(h, turn), V::sub(h, turn), h);
}

// Where each of m2, m1 and W goes in the pixel word (blue in the low byte),
// by sector; the scalar code's kSectorChannels in another form.
alignas(32) constexpr float kM2Place[8] = {65536, 256, 256, 1, 1, 65536, 0, 0};
alignas(32) constexpr float kM1Place[8] = {1, 1, 65536, 65536, 256, 256, 0, 0};
alignas(32) constexpr float kMixPlace[8] = {256, 65536, 1, 256, 65536, 1, 0, 0};
// 1 for the sectors whose mixed value is V2 (m1 + spread (1 - f)).
alignas(32) constexpr float kFallingSector[8] = {0, 1, 0, 1, 0, 1, 0, 0};

// trunc(255 v): the scalar code's byte of a value v in [-2^-24, 1], and
// 255 for the bounds up to 1 + 2^-22.
template <class V> typename V::D byteOf(typename V::D v)
{
    return V::trunc(V::mul(v, V::set(static_cast<double>(kByteScale))));
}

// Two vectors of V side by side: twice the pixels per group, and two
// independent chains of dependent steps for the processor to overlap.
template <class V> struct Twice {
    static constexpr int kLanes = 2 * V::kLanes;
    struct D {
        typename V::D lo, hi;
    };
    struct M {
        typename V::M lo, hi;
    };
    struct I {
        typename V::I lo, hi;
    };

    static D load(const float* p)
    {
        return {V::load(p), V::load(p + V::kLanes)};
    }
    static D set(double v) { return {V::set(v), V::set(v)}; }
    static D add(D a, D b) { return {V::add(a.lo, b.lo), V::add(a.hi, b.hi)}; }
    static D sub(D a, D b) { return {V::sub(a.lo, b.lo), V::sub(a.hi, b.hi)}; }
    static D mul(D a, D b) { return {V::mul(a.lo, b.lo), V::mul(a.hi, b.hi)}; }
    static D div(D a, D b) { return {V::div(a.lo, b.lo), V::div(a.hi, b.hi)}; }
    static D fma(D a, D b, D c)
    {
        return {V::fma(a.lo, b.lo, c.lo), V::fma(a.hi, b.hi, c.hi)};
    }
    static D neg(D a) { return {V::neg(a.lo), V::neg(a.hi)}; }
    static D abs(D a) { return {V::abs(a.lo), V::abs(a.hi)}; }
    static D min(D a, D b) { return {V::min(a.lo, b.lo), V::min(a.hi, b.hi)}; }
    static D max(D a, D b) { return {V::max(a.lo, b.lo), V::max(a.hi, b.hi)}; }
    static D copySign(D a, D b)
    {
        return {V::copySign(a.lo, b.lo), V::copySign(a.hi, b.hi)};
    }
    static D floor(D a) { return {V::floor(a.lo), V::floor(a.hi)}; }
    static D trunc(D a) { return {V::trunc(a.lo), V::trunc(a.hi)}; }
    static D roundNearest(D a)
    {
        return {V::roundNearest(a.lo), V::roundNearest(a.hi)};
    }
    static D roundToFloat(D a)
    {
        return {V::roundToFloat(a.lo), V::roundToFloat(a.hi)};
    }
    static D scaleByPow2Neg(D p, D n)
    {
        return {V::scaleByPow2Neg(p.lo, n.lo), V::scaleByPow2Neg(p.hi, n.hi)};
    }
    static M lt(D a, D b) { return {V::lt(a.lo, b.lo), V::lt(a.hi, b.hi)}; }
    static M le(D a, D b) { return {V::le(a.lo, b.lo), V::le(a.hi, b.hi)}; }
    static M gt(D a, D b) { return {V::gt(a.lo, b.lo), V::gt(a.hi, b.hi)}; }
    static M ge(D a, D b) { return {V::ge(a.lo, b.lo), V::ge(a.hi, b.hi)}; }
    static M eq(D a, D b) { return {V::eq(a.lo, b.lo), V::eq(a.hi, b.hi)}; }
    static M andMask(M a, M b)
    {
        return {V::andMask(a.lo, b.lo), V::andMask(a.hi, b.hi)};
    }
    static M andNotMask(M a, M b)
    {
        return {V::andNotMask(a.lo, b.lo), V::andNotMask(a.hi, b.hi)};
    }
    static M sameMask(M a, M b)
    {
        return {V::sameMask(a.lo, b.lo), V::sameMask(a.hi, b.hi)};
    }
    static unsigned bits(M m)
    {
        return V::bits(m.lo) | V::bits(m.hi) << V::kLanes;
    }
    static D select(M m, D a, D b)
    {
        return {V::select(m.lo, a.lo, b.lo), V::select(m.hi, a.hi, b.hi)};
    }
    static I index(D a) { return {V::index(a.lo), V::index(a.hi)}; }
    static D lookup(const float* table, I i)
    {
        return {V::lookup(table, i.lo), V::lookup(table, i.hi)};
    }
    static void storeBgr(unsigned char* out, D words)
    {
        V::storeBgr(out, words.lo);
        V::storeBgr(out + 3 * V::kLanes, words.hi);
    }
};

// velocityColour for the pixels of a group whose bits are set in open.
// A template, like everything here, so that each instruction set's file
// has its own copy.
template <class V>
[[gnu::noinline, gnu::cold]] void recolour(const float* vx, const float* vy,
                                           double k, unsigned open,
                                           unsigned char* bgr)
{
    while (open != 0) {
        const int i = __builtin_ctz(open);
        open &= open - 1;
        const Pixel3 colour = velocityColour(vx[i], vy[i], k);
        bgr[3 * i] = colour.c0;
        bgr[3 * i + 1] = colour.c1;
        bgr[3 * i + 2] = colour.c2;
    }
}

// The colours of V::kLanes velocities into 3 V::kLanes bytes.
template <class V>
void colourGroup(const float* vx, const float* vy, double k, unsigned char* bgr)
{
    using D = typename V::D;
    using M = typename V::M;
    const D zero = V::set(0.0);
    const D one = V::set(1.0);
    const D two = V::set(2.0);
    const D split = V::set(static_cast<double>(kLightnessSplit));
    const D x = V::load(vx);
    const D y = V::load(vy);
    // Most of a still scene is exactly 0: black without the rest.
    constexpr unsigned kAll = (1u << V::kLanes) - 1;
    if (V::bits(V::andMask(V::eq(x, zero), V::eq(y, zero))) == kAll) {
        V::storeBgr(bgr, zero);
        return;
    }
    const D ax = V::abs(x);
    const D ay = V::abs(y);
    const D floatMax = V::set(3.4028234663852886e38);

    // Non-finite velocities and zero energy are black.
    const D energy = V::roundToFloat(V::add(V::mul(y, y), V::mul(x, x)));
    const D t = V::mul(energy, V::set(k));
    const M coloured = V::andMask(
        V::andMask(V::le(ax, floatMax), V::le(ay, floatMax)), V::gt(t, zero));

    // Lightness interval, clamped to [0, 1] where the scalar l lies.
    const D fade = expNeg<V>(t);
    const D lLo = V::max(V::sub(one, V::add(fade, V::set(kFadePad))), zero);
    const D lHi = V::min(V::sub(one, V::sub(fade, V::set(kFadePad))), one);
    const M lowLo = V::le(lLo, split);
    const M lowHi = V::le(lHi, split);
    // A double rounded to float moves by at most 2^-24 of itself, so the
    // floats m2 and m1 are bounded without computing them.
    const D m2Lo = V::select(lowLo, V::mul(lLo, V::set(2.0 - 0x1p-22)), one);
    const D m2Hi = V::select(lowHi, V::mul(lHi, V::set(2.0 + 0x1p-22)), one);
    const D roundingRoom = V::mul(m2Hi, V::set(0x1p-24));
    const D m1Lo =
        V::select(lowLo, V::neg(roundingRoom),
                  V::mul(V::fma(two, lLo, V::neg(one)), V::set(1.0 - 0x1p-23)));
    // m1 <= m2, which keeps W rising with g at the high end too.
    const D m1Hi = V::min(
        V::select(lowHi, roundingRoom,
                  V::mul(V::fma(two, lHi, V::neg(one)), V::set(1.0 + 0x1p-23))),
        m2Hi);

    // Angle interval: exact on the x axis, where atan2 gives +-0 or +-pi.
    const M onAxis = V::eq(y, zero);
    const D axisAngle =
        V::select(V::gt(x, zero), y, V::copySign(V::set(3.141592653589793), y));
    const D angle = V::select(onAxis, axisAngle, atanOfRatio<V>(ax, ay, x, y));
    const D anglePad = V::select(onAxis, zero, V::set(kAnglePad));
    const D hLo = sectorPosition<V>(V::sub(angle, anglePad));
    const D hHi = sectorPosition<V>(V::add(angle, anglePad));
    const D sector = V::floor(hLo);
    const M sectorKnown = V::eq(sector, V::floor(hHi));
    const D fLo = V::sub(V::roundToFloat(hLo), sector);
    const D fHi = V::sub(V::roundToFloat(hHi), sector);

    // W rises with g at the low and at the high ends (m2 >= m1 there).
    const typename V::I place = V::index(sector);
    const M falling = V::gt(V::lookup(kFallingSector, place), zero);
    const D gLo = V::select(falling, V::sub(one, fHi), fLo);
    const D gHi = V::select(falling, V::sub(one, fLo), fHi);
    const D mixLo =
        V::sub(V::fma(V::sub(m2Lo, m1Lo), gLo, m1Lo), V::set(kMixPad));
    const D mixHi =
        V::add(V::fma(V::sub(m2Hi, m1Hi), gHi, m1Hi), V::set(kMixPad));

    const D b2 = byteOf<V>(m2Lo);
    const D b1 = byteOf<V>(m1Lo);
    const D bMix = byteOf<V>(V::roundToFloat(mixLo));
    const M bytesKnown = V::andMask(
        V::andMask(V::eq(b2, byteOf<V>(m2Hi)), V::eq(b1, byteOf<V>(m1Hi))),
        V::eq(bMix, byteOf<V>(V::roundToFloat(mixHi))));
    const M known = V::andMask(V::andMask(sectorKnown, bytesKnown),
                               V::sameMask(lowLo, lowHi));

    D word = V::mul(b2, V::lookup(kM2Place, place));
    word = V::fma(b1, V::lookup(kM1Place, place), word);
    word = V::fma(bMix, V::lookup(kMixPlace, place), word);
    V::storeBgr(bgr, V::select(coloured, word, zero));

    // The few pixels whose bytes the intervals leave open.
    const unsigned open = V::bits(V::andNotMask(coloured, known));
    if (open != 0)
        recolour<V>(vx, vy, k, open, bgr);
}

// colourGroup over a row; the last, partial group goes through a buffer
// padded with zero velocities.
template <class V>
void colourRow(const float* vx, const float* vy, int n, double k,
               unsigned char* bgr)
{
    constexpr int kLanes = V::kLanes;
    int x = 0;
    for (; x + kLanes <= n; x += kLanes)
        colourGroup<V>(vx + x, vy + x, k, bgr + 3 * x);
    if (x < n) {
        float restX[kLanes] = {};
        float restY[kLanes] = {};
        unsigned char restBgr[3 * kLanes];
        std::memcpy(restX, vx + x, sizeof(float) * (n - x));
        std::memcpy(restY, vy + x, sizeof(float) * (n - x));
        colourGroup<V>(restX, restY, k, restBgr);
        std::memcpy(bgr + 3 * x, restBgr, 3 * (n - x));
    }
}

} // namespace ulk::viz::colour

#endif
