// Optional wall-clock timing of the engine's stages.
//
// With OF_ULK_STAGE_TIMING defined, ULK_TIME_STAGE(stage) opens a timer that
// adds the time until the end of the enclosing scope to a process-wide table
// indexed by EngineStage; ulkStageSeconds() reads the table and
// ulkResetStageSeconds() clears it. Without the definition the macro expands
// to nothing and the table does not exist.
#ifndef OF_ULK_STAGE_TIMING_H
#define OF_ULK_STAGE_TIMING_H

#include "engine.h"

#ifdef OF_ULK_STAGE_TIMING

#include <chrono>

// Seconds spent in each stage since the last reset, kStageCount entries.
inline double* ulkStageTable()
{
    static double seconds[kStageCount] = {};
    return seconds;
}

inline const double* ulkStageSeconds()
{
    return ulkStageTable();
}

inline void ulkResetStageSeconds()
{
    for (int stage = 0; stage < kStageCount; ++stage)
        ulkStageTable()[stage] = 0.0;
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
        std::chrono::duration<double> elapsed =
            std::chrono::steady_clock::now() - start_;
        ulkStageTable()[stage_] += elapsed.count();
    }
    UlkStageTimer(const UlkStageTimer&) = delete;
    UlkStageTimer& operator=(const UlkStageTimer&) = delete;

  private:
    EngineStage stage_;
    std::chrono::steady_clock::time_point start_;
};

#define ULK_STAGE_TIMER_NAME2_(line) ulkStageTimer_##line
#define ULK_STAGE_TIMER_NAME_(line) ULK_STAGE_TIMER_NAME2_(line)
#define ULK_TIME_STAGE(stage)                                                  \
    UlkStageTimer ULK_STAGE_TIMER_NAME_(__LINE__)(stage)

#else

#define ULK_TIME_STAGE(stage) static_cast<void>(0)

#endif

#endif
