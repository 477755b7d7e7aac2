#include "engine/vector_paths.h"

#include <atomic>
#include <initializer_list>

namespace ulk {

namespace {

// The path that ScopedVectorPath set, or -1 for the fastest.
std::atomic<int> chosenPath{-1};

} // namespace

const char* vectorPathName(VectorPath path)
{
    // In VectorPath's order.
    static const char* const names[] = {"scalar", "sse2", "avx2", "avx512"};
    return names[static_cast<int>(path)];
}

bool vectorPathSupported(VectorPath path)
{
#ifdef OF_ULK_ENGINE_X86
    // The processor's features are read by a static constructor; this
    // reads them now if a constructor that runs earlier asks.
    __builtin_cpu_init();
#endif
    switch (path) {
    case VectorPath::Scalar:
        return true;
#ifdef OF_ULK_ENGINE_X86
    case VectorPath::Sse2:
        return true;
    case VectorPath::Avx2:
        return __builtin_cpu_supports("avx2");
    case VectorPath::Avx512:
        return __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
#endif
    default:
        return false;
    }
}

VectorPath fastestVectorPath()
{
    static const VectorPath fastest = [] {
        for (VectorPath path :
             {VectorPath::Avx512, VectorPath::Avx2, VectorPath::Sse2})
            if (vectorPathSupported(path))
                return path;
        return VectorPath::Scalar;
    }();
    return fastest;
}

VectorPath activeVectorPath()
{
    const int chosen = chosenPath.load(std::memory_order_relaxed);
    return chosen < 0 ? fastestVectorPath() : static_cast<VectorPath>(chosen);
}

ScopedVectorPath::ScopedVectorPath(VectorPath path)
    : previous_(activeVectorPath())
{
    chosenPath.store(vectorPathSupported(path) ? static_cast<int>(path) : -1,
                     std::memory_order_relaxed);
}

ScopedVectorPath::~ScopedVectorPath()
{
    chosenPath.store(static_cast<int>(previous_), std::memory_order_relaxed);
}

} // namespace ulk
