// The exporter's work: the velocity field of every frame pair of an input,
// computed by a pool of workers and written in order into a folder.
#ifndef OF_ULK_BATCH_EXPORT_H
#define OF_ULK_BATCH_EXPORT_H

#include "export_options.h"
#include "frame_source.h"
#include "interrupt_watch.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace ulk::exporter {

// The stop-signal watch that both front ends share, under the names the
// exporter's code uses.
using frontend::exitStatusForSignal;
using frontend::InterruptWatch;
using frontend::signalName;

// Output files of the pair whose older frame is frame `index` (from 0):
// flow_000012.flo, flow_000012.png, flow_000012_wheel.png, and for the xy
// format x_000012.jpg and y_000012.jpg (.png with png set).
std::string flowFileName(long index);
std::string colourFileName(long index);
std::string wheelFileName(long index);
std::string xFileName(long index, bool png);
std::string yFileName(long index, bool png);

// The files that options ask for, for one pair.
std::vector<std::string> outputFileNames(const ExportOptions& options,
                                         long index);

// Creates the output folder when missing and makes sure that a file can be
// written into it. Returns false and sets error otherwise. created, when
// given, receives the outermost folder that was made ("" when dir existed),
// for removeCreatedFolders.
bool prepareOutputDir(const std::string& dir, std::string& error,
                      std::string* created = nullptr);

// Removes dir and the folders above it up to created, each only while it is
// empty; does nothing when created is "".
void removeCreatedFolders(const std::string& dir, const std::string& created);

// Output files in dir of an earlier run for pairs from firstPair on (of any
// kind, whatever the options), except the names in
// ownFiles, in pair order.
std::vector<std::string>
earlierRunFiles(const std::string& dir, long firstPair,
                const std::vector<std::string>& ownFiles);

struct ExportResult {
    long pairs = 0;             // pairs written
    double seconds = 0.0;       // wall time of the whole run
    double engineSeconds = 0.0; // summed time spent in the flow engine
    int workers = 0;
    std::string error;   // empty on success
    int signal = 0;      // the SIGINT or SIGTERM that stopped the run, or 0
    std::string warning; // e.g. a video shorter than its header says
    // Files of pair `pairs` already in place when the run stopped.
    std::vector<std::string> partialFiles;
};

// Computes and writes every pair of source into options.outputDir with
// options.jobs workers (0: one per core). Every file is written under a
// temporary name and renamed into place when complete. Existing files stop
// the run unless options.force is set. The progress line goes to progress
// unless options.quiet is set, or, when onProgress is given, the count of
// pairs written goes to it instead, at the progress line's pace (on the
// calling thread). With a watch, a stop signal ends the run after the pair
// being written; result.signal names it.
ExportResult runBatchExport(const ExportOptions& options, FrameSource& source,
                            std::ostream& progress,
                            InterruptWatch* watch = nullptr,
                            std::function<void(long)> onProgress = nullptr);

// The whole program on the arguments after its name: parses them, checks
// input and output, runs the export, prints the summary on out and any
// failure on err. Returns the exit code.
int exportMain(const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err);

} // namespace ulk::exporter

#endif
