// Progress line and end summary of the exporter.
#ifndef OF_ULK_PROGRESS_H
#define OF_ULK_PROGRESS_H

#include <string>

namespace ulk::exporter {

// Time as "m:ss" or, from an hour on, "h:mm:ss".
std::string formatDuration(double seconds);

// One progress line: pairs done, "/ total" when a total is given (> 0;
// prefixed with "~" when it is only an estimate), pairs per second and the
// time left when the total and a rate are known. No line break.
std::string formatProgress(long done, long total, bool totalExact,
                           double elapsedSeconds);

// The summary printed at the end: pairs, wall time, rate, workers and the
// mean time the flow engine took per pair. Ends with a line break.
std::string formatSummary(long pairs, double elapsedSeconds,
                          double engineSeconds, int workers);

// The progress line of a collection: videos finished (written, skipped or
// failed) of the total, pairs written, pairs per second and the time left,
// estimated from the mean time of the videos computed so far (computed >
// 0). No line break.
std::string formatCollectionProgress(long finished, long total, long pairs,
                                     long computed, double elapsedSeconds);

// The summary of a collection run: videos written, skipped as done before
// and failed, then pairs, wall time, rate and workers. Ends with a line
// break.
std::string formatCollectionSummary(long written, long skipped, long failed,
                                    long pairs, double elapsedSeconds,
                                    int workers);

} // namespace ulk::exporter

#endif
