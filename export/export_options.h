// Command line of of_ulk_export: what to read, where to write and which
// images to add beside the .flo files.
#ifndef OF_ULK_EXPORT_OPTIONS_H
#define OF_ULK_EXPORT_OPTIONS_H

#include "cvoptflowulk.h"
#include "flow_wheel.h"

#include <string>
#include <vector>

namespace ulk::exporter {

// How the field itself is stored: one .flo file per pair, or the x and y
// velocities as two 8-bit images.
enum class FieldFormat { Flo, Xy };

// Default of --bound: the speed, in pixels per pair, coded as 255 or 1 in
// the xy images, the value training pipelines commonly assume.
constexpr double kDefaultXyBound = 20.0;

struct ExportOptions {
    // One entry: a video file or a folder of frames; two: two image files.
    std::vector<std::string> inputs;
    std::string outputDir;
    bool png = false;      // the field in the viewer's own colour rendering
    bool wheel = false;    // the field in colour-wheel coding
    double maxSpeed = 0.0; // wheel saturation scale; 0: the frame's largest
    viz::LegendCorner legend = viz::LegendCorner::None;
    FieldFormat format = FieldFormat::Flo;
    double bound = kDefaultXyBound; // xy images: speed coded as 255 or 1
    bool xyPng = false;             // xy images as PNG instead of JPEG
    long step = 1;                  // pairs of frames N and N + step
    int resizeWidth = 0;  // frames resized to this size before the flow;
    int resizeHeight = 0; // 0: as read
    int shortSide = 0;    // or scaled so that the shorter side is this long
    int jobs = 0;         // worker threads; 0: one per core
    long maxPairs = 0;    // stop after this many pairs; 0: no limit
    bool force = false;   // overwrite existing output files
    bool quiet = false;   // no progress line
    bool help = false;
    // The engine's refined mode (--refined) and its settings (--refine-*;
    // their flags are not read: --refined chooses them).
    bool refined = false;
    CvULKRefineParams refineParams = cvULKRefineParams();
};

// Exit codes of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // unreadable input, unwritable output, ...
constexpr int kExitUsage = 2;   // the command line itself is wrong

// Parses the arguments after the program name. Returns false and sets
// error to one line naming the problem when the command line is wrong.
bool parseExportOptions(const std::vector<std::string>& args,
                        ExportOptions& options, std::string& error);

// The --help text: usage, every option and examples.
std::string exportHelpText();

// Number of workers that `jobs` = 0 stands for: one per core.
int defaultJobCount();

} // namespace ulk::exporter

#endif
