// The ways the engine's vector kernels can run: plain C++, which is the
// reference, SSE2 (the x86-64 baseline), and AVX2 or AVX-512 where the
// processor has them. The kernels take the path of activeVectorPath();
// tests and benchmarks name one with ScopedVectorPath. Every path gives the
// same bytes.
#ifndef OF_ULK_VECTOR_PATHS_H
#define OF_ULK_VECTOR_PATHS_H

namespace ulk {

// In order of preference; a kernel without code of its own for a path
// takes that of the next path down.
enum class VectorPath {
    Scalar, // plain C++ on one value at a time
    Sse2,   // 128-bit vectors, on every x86-64 processor
    Avx2,   // 256-bit vectors (AVX2)
    Avx512, // 512-bit vectors (AVX-512 F, BW, DQ, VL)
};

constexpr VectorPath kVectorPaths[] = {VectorPath::Scalar, VectorPath::Sse2,
                                       VectorPath::Avx2, VectorPath::Avx512};

// "scalar", "sse2", "avx2" or "avx512".
const char* vectorPathName(VectorPath path);
// Whether this build has the path and this processor can run it.
bool vectorPathSupported(VectorPath path);
// The fastest path that this build and processor have.
VectorPath fastestVectorPath();
// The path the kernels take now: the fastest, unless a ScopedVectorPath
// names another.
VectorPath activeVectorPath();

// Makes the kernels of every thread take path (when supported; else the
// fastest) while it lives, then the path before it. For tests and
// benchmarks, between engine calls.
class ScopedVectorPath {
  public:
    explicit ScopedVectorPath(VectorPath path);
    ~ScopedVectorPath();
    ScopedVectorPath(const ScopedVectorPath&) = delete;
    ScopedVectorPath& operator=(const ScopedVectorPath&) = delete;

  private:
    VectorPath previous_;
};

} // namespace ulk

#endif
