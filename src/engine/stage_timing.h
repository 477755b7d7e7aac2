// Optional wall-clock timing of the engine's stages.
//
// With OF_ULK_STAGE_TIMING defined, ULK_TIME_STAGE(stage) opens a timer that
// adds the time until the end of the enclosing scope to a process-wide table
// indexed by EngineStage; ulkStageSeconds() reads the table and
// ulkResetStageSeconds() clears it. Concurrent engine calls may time their
// stages at once. Without the definition the macro expands
// to nothing and the table does not exist.
#ifndef OF_ULK_STAGE_TIMING_H
#define OF_ULK_STAGE_TIMING_H

#include "engine/engine.h"

#ifdef OF_ULK_STAGE_TIMING

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ulk {

// Nanoseconds spent in each stage since the last reset. The entries are
// atomic, so that engine calls in several threads at once may add to them.
inline std::atomic<std::int64_t>* ulkStageNanoseconds()
{
    static std::atomic<std::int64_t> nanoseconds[kStageCount] = {};
    return nanoseconds;
}

// Seconds spent in each stage since the last reset, kStageCount entries:
// a snapshot of the table, taken by this call and kept per thread until the
// thread's next call.
inline const double* ulkStageSeconds()
{
    thread_local double seconds[kStageCount];
    for (int stage = 0; stage < kStageCount; ++stage)
        seconds[stage] =
            1e-9 * static_cast<double>(ulkStageNanoseconds()[stage].load(
                       std::memory_order_relaxed));
    return seconds;
}

inline void ulkResetStageSeconds()
{
    for (int stage = 0; stage < kStageCount; ++stage)
        ulkStageNanoseconds()[stage].store(0, std::memory_order_relaxed);
}

// Adds its own lifetime to the table entry of one stage, also when the
// stage is left by an exception.
class UlkStageTimer {
  public:
    explicit UlkStageTimer(EngineStage stage)
        : stage_(stage), start_(std::chrono::steady_clock::now())
    {
    }
    ~UlkStageTimer()
    {
        const std::chrono::nanoseconds elapsed =
            std::chrono::steady_clock::now() - start_;
        ulkStageNanoseconds()[stage_].fetch_add(elapsed.count(),
                                                std::memory_order_relaxed);
    }
    UlkStageTimer(const UlkStageTimer&) = delete;
    UlkStageTimer& operator=(const UlkStageTimer&) = delete;

  private:
    EngineStage stage_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace ulk

#define ULK_STAGE_TIMER_NAME2_(line) ulkStageTimer_##line
#define ULK_STAGE_TIMER_NAME_(line) ULK_STAGE_TIMER_NAME2_(line)
#define ULK_TIME_STAGE(stage)                                                  \
    ::ulk::UlkStageTimer ULK_STAGE_TIMER_NAME_(__LINE__)(stage)

#else

#define ULK_TIME_STAGE(stage) static_cast<void>(0)

#endif

#endif
