// The exporter's work: the velocity field of every frame pair of an input,
// computed by a pool of workers and written in order into a folder.
#ifndef OF_ULK_BATCH_EXPORT_H
#define OF_ULK_BATCH_EXPORT_H

#include "export_options.h"
#include "frame_source.h"

#include <iosfwd>
#include <string>
#include <vector>

// Output files of the pair whose older frame is frame `index` (from 0):
// flow_000012.flo, flow_000012.png and flow_000012_wheel.png.
std::string flowFileName(long index);
std::string colourFileName(long index);
std::string wheelFileName(long index);

// The files that options ask for, for one pair.
std::vector<std::string> outputFileNames(const ExportOptions& options,
                                         long index);

// Creates the output folder when missing and makes sure that a file can be
// written into it. Returns false and sets error otherwise.
bool prepareOutputDir(const std::string& dir, std::string& error);

struct ExportResult {
    long pairs = 0;             // pairs written
    double seconds = 0.0;       // wall time of the whole run
    double engineSeconds = 0.0; // summed time spent in the flow engine
    int workers = 0;
    std::string error; // empty on success
};

// Computes and writes every pair of source into options.outputDir with
// options.jobs workers (0: one per core). Existing files stop the run
// unless options.force is set. The progress line goes to progress unless
// options.quiet is set.
ExportResult runBatchExport(const ExportOptions& options, FrameSource& source,
                            std::ostream& progress);

// The whole program on the arguments after its name: parses them, checks
// input and output, runs the export, prints the summary on out and any
// failure on err. Returns the exit code.
int exportMain(const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err);

#endif
