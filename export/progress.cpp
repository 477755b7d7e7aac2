#include "progress.h"

#include <cmath>
#include <cstdio>

namespace ulk::exporter {

std::string formatDuration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0.0)
        seconds = 0.0;
    long total = std::lround(seconds);
    long hours = total / 3600;
    long minutes = (total % 3600) / 60;
    long secs = total % 60;
    char text[48];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes,
                      secs);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
    return text;
}

std::string formatProgress(long done, long total, bool totalExact,
                           double elapsedSeconds)
{
    std::string line = "pairs " + std::to_string(done);
    if (total > 0)
        line +=
            "/" + std::string(totalExact ? "" : "~") + std::to_string(total);

    double rate = elapsedSeconds > 0.0 ? done / elapsedSeconds : 0.0;
    char text[64];
    std::snprintf(text, sizeof text, ", %.2f pairs/s", rate);
    line += text;
    if (total > 0 && rate > 0.0) {
        long left = total > done ? total - done : 0;
        line += ", " + formatDuration(left / rate) + " left";
    }
    return line;
}

std::string formatSummary(long pairs, double elapsedSeconds,
                          double engineSeconds, int workers)
{
    double rate = elapsedSeconds > 0.0 ? pairs / elapsedSeconds : 0.0;
    double meanMs = pairs > 0 ? 1000.0 * engineSeconds / pairs : 0.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%ld pairs in %.2f s (%.2f pairs/s, %d worker%s), mean "
                  "engine time %.1f ms per pair\n",
                  pairs, elapsedSeconds, rate, workers, workers == 1 ? "" : "s",
                  meanMs);
    return text;
}

std::string formatCollectionProgress(long finished, long total, long pairs,
                                     long computed, double elapsedSeconds)
{
    double rate = elapsedSeconds > 0.0 ? pairs / elapsedSeconds : 0.0;
    char text[128];
    std::snprintf(text, sizeof text, "videos %ld/%ld, %ld pairs, %.2f pairs/s",
                  finished, total, pairs, rate);
    std::string line = text;
    if (computed > 0 && finished < total)
        line += ", " +
                formatDuration((total - finished) * elapsedSeconds / computed) +
                " left";
    return line;
}

std::string formatCollectionSummary(long written, long skipped, long failed,
                                    long pairs, double elapsedSeconds,
                                    int workers)
{
    double rate = elapsedSeconds > 0.0 ? pairs / elapsedSeconds : 0.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%ld videos: %ld written, %ld skipped as done before, %ld "
                  "failed; %ld pairs in %.2f s (%.2f pairs/s, %d worker%s)\n",
                  written + skipped + failed, written, skipped, failed, pairs,
                  elapsedSeconds, rate, workers, workers == 1 ? "" : "s");
    return text;
}

} // namespace ulk::exporter
