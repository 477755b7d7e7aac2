// The ways the colour rendering can run: the scalar code, which is the
// reference, and the vector kernels. renderVelocityColour takes the fastest
// one the processor has; tests and benchmarks name one. Internal to
// flowviz.
#ifndef OF_ULK_VELOCITY_COLOUR_PATHS_H
#define OF_ULK_VELOCITY_COLOUR_PATHS_H

#include "velocity_colour.h"

namespace ulk::viz {

enum class ColourPath {
    Scalar, // velocityColour per pixel
    Avx2,   // four pixels at once (x86-64 with AVX2 and FMA)
    Avx512, // eight pixels at once (x86-64 with AVX-512 F and DQ)
};

constexpr ColourPath kColourPaths[] = {ColourPath::Scalar, ColourPath::Avx2,
                                       ColourPath::Avx512};

// "scalar", "avx2" or "avx512".
const char* colourPathName(ColourPath path);
// Whether this build has the path and this processor can run it.
bool colourPathSupported(ColourPath path);
// The path renderVelocityColour takes, chosen once.
ColourPath fastestColourPath();

// The colours of n velocities into 3 n bytes, BGR, each equal to
// velocityColour's, on the given path. The vector paths take finite k above
// 0 and leave other k, and a path the processor lacks, to the scalar code.
void colourRow(ColourPath path, const float* vx, const float* vy, int n,
               double k, unsigned char* bgr);

// renderVelocityColour on the given path (as colourRow takes it).
void renderVelocityColourOn(ColourPath path, const CvMat* velx,
                            const CvMat* vely, double k, ImageHolder& result);

} // namespace ulk::viz

#endif
