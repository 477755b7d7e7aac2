#include "export_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace ulk::exporter {

namespace {

// Upper bound on --jobs: more threads than this only cost memory.
constexpr int kMaxJobs = 256;
// Largest frame side of --resize and --short-side: beyond any video format.
constexpr long kMaxSide = 16384;
// Largest --step: a gap of more frames than this is no motion to track.
constexpr long kMaxStep = 10000;

bool parseLong(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}

bool parseDouble(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool parseFormat(const std::string& text, FieldFormat& format)
{
    if (text == "flo")
        format = FieldFormat::Flo;
    else if (text == "xy")
        format = FieldFormat::Xy;
    else
        return false;
    return true;
}

// "WxH" with both sides from 1 to kMaxSide.
bool parseSize(const std::string& text, int& width, int& height)
{
    size_t x = text.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !parseLong(text.substr(0, x), w) ||
        !parseLong(text.substr(x + 1), h) || w < 1 || h < 1 || w > kMaxSide ||
        h > kMaxSide)
        return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

bool parseCorner(const std::string& text, viz::LegendCorner& corner)
{
    if (text == "tl")
        corner = viz::LegendCorner::TopLeft;
    else if (text == "tr")
        corner = viz::LegendCorner::TopRight;
    else if (text == "bl")
        corner = viz::LegendCorner::BottomLeft;
    else if (text == "br")
        corner = viz::LegendCorner::BottomRight;
    else
        return false;
    return true;
}

} // namespace

int defaultJobCount()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

bool parseExportOptions(const std::vector<std::string>& args,
                        ExportOptions& options, std::string& error)
{
    options = ExportOptions();
    std::vector<std::string> positional;
    bool maxSpeedGiven = false;
    bool boundGiven = false;
    bool optionsEnded = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        // "--name=value" and "--name value" are the same.
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&](std::string& out) {
            if (inlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto noValue = [&]() {
            if (inlineValue)
                error = "option " + arg + " takes no value";
            return !inlineValue;
        };

        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        } else if (arg == "--png") {
            if (!noValue())
                return false;
            options.png = true;
        } else if (arg == "--wheel") {
            if (!noValue())
                return false;
            options.wheel = true;
        } else if (arg == "--refined") {
            if (!noValue())
                return false;
            options.refined = true;
        } else if (arg == "--force") {
            if (!noValue())
                return false;
            options.force = true;
        } else if (arg == "--quiet" || arg == "-q") {
            if (!noValue())
                return false;
            options.quiet = true;
        } else if (arg == "--max-speed") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseDouble(text, options.maxSpeed) ||
                options.maxSpeed <= 0.0) {
                error = "--max-speed needs a positive number of pixels, not '" +
                        text + "'";
                return false;
            }
            maxSpeedGiven = true;
        } else if (arg == "--xy-png") {
            if (!noValue())
                return false;
            options.xyPng = true;
        } else if (arg == "--format") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseFormat(text, options.format)) {
                error = "--format needs flo or xy, not '" + text + "'";
                return false;
            }
        } else if (arg == "--bound") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseDouble(text, options.bound) || options.bound <= 0.0) {
                error = "--bound needs a positive number of pixels, not '" +
                        text + "'";
                return false;
            }
            boundGiven = true;
        } else if (arg == "--step") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseLong(text, options.step) || options.step < 1 ||
                options.step > kMaxStep) {
                error = "--step needs a number of frames from 1 to " +
                        std::to_string(kMaxStep) + ", not '" + text + "'";
                return false;
            }
        } else if (arg == "--resize") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseSize(text, options.resizeWidth, options.resizeHeight)) {
                error = "--resize needs WIDTHxHEIGHT, each from 1 to " +
                        std::to_string(kMaxSide) + ", not '" + text + "'";
                return false;
            }
        } else if (arg == "--short-side") {
            std::string text;
            long side = 0;
            if (!takeValue(text))
                return false;
            if (!parseLong(text, side) || side < 1 || side > kMaxSide) {
                error = "--short-side needs a length from 1 to " +
                        std::to_string(kMaxSide) + ", not '" + text + "'";
                return false;
            }
            options.shortSide = static_cast<int>(side);
        } else if (arg == "--legend") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseCorner(text, options.legend)) {
                error = "--legend needs a corner: tl, tr, bl or br, not '" +
                        text + "'";
                return false;
            }
        } else if (arg == "-j" || arg == "--jobs") {
            std::string text;
            long jobs = 0;
            if (!takeValue(text))
                return false;
            if (!parseLong(text, jobs) || jobs < 1 || jobs > kMaxJobs) {
                error = "--jobs needs a number of workers from 1 to " +
                        std::to_string(kMaxJobs) + ", not '" + text + "'";
                return false;
            }
            options.jobs = static_cast<int>(jobs);
        } else if (arg == "--max-pairs") {
            std::string text;
            if (!takeValue(text))
                return false;
            if (!parseLong(text, options.maxPairs) || options.maxPairs < 1) {
                error =
                    "--max-pairs needs a positive count, not '" + text + "'";
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }

    if ((maxSpeedGiven || options.legend != viz::LegendCorner::None) &&
        !options.wheel) {
        error = "--max-speed and --legend apply to the --wheel images: add "
                "--wheel";
        return false;
    }
    if ((boundGiven || options.xyPng) && options.format != FieldFormat::Xy) {
        error = "--bound and --xy-png apply to the xy images: add --format xy";
        return false;
    }
    if (options.resizeWidth > 0 && options.shortSide > 0) {
        error = "give either --resize or --short-side, not both";
        return false;
    }
    if (positional.size() < 2) {
        error = "give an input and an output folder";
        return false;
    }
    if (positional.size() > 3) {
        error = "too many arguments: give a video or folder, or two images, "
                "then the output folder";
        return false;
    }
    options.outputDir = positional.back();
    positional.pop_back();
    options.inputs = positional;
    return true;
}

std::string exportHelpText()
{
    return "of_ulk_export: dense optical flow of every frame pair, written "
           "to files\n"
           "\n"
           "Usage:\n"
           "  of_ulk_export [options] VIDEO OUTPUT_DIR\n"
           "  of_ulk_export [options] FRAME_DIR OUTPUT_DIR\n"
           "  of_ulk_export [options] IMAGE_A IMAGE_B OUTPUT_DIR\n"
           "  of_ulk_export [options] LIST.txt OUTPUT_DIR\n"
           "  of_ulk_export [options] COLLECTION_DIR OUTPUT_DIR\n"
           "\n"
           "VIDEO is any file that the video reader opens; FRAME_DIR holds "
           "numbered\n"
           "frames, taken in name order (numbers compared by value); IMAGE_A "
           "is the\n"
           "older frame. For the pair of frames N and N+1 (N counted from 0) "
           "the tool\n"
           "writes OUTPUT_DIR/flow_NNNNNN.flo (x and y velocity in pixels, "
           "x right,\n"
           "y down). OUTPUT_DIR is created when missing.\n"
           "\n"
           "A collection is a list file (.txt or .list: one video or frame "
           "folder per line,\n"
           "# for comments, relative to the list's folder) or a folder "
           "without frame\n"
           "images, searched for videos. Each input gets the folder "
           "OUTPUT_DIR/<its path\n"
           "without extension> and, written last, the marker "
           "OUTPUT_DIR/<that path>.done;\n"
           "a second run "
           "skips inputs that are done and redoes the others. Failures "
           "go\n"
           "to OUTPUT_DIR/failed.txt and do not stop the run.\n"
           "\n"
           "Options:\n"
           "  --format F         flo (default) or xy: x_NNNNNN.jpg and "
           "y_NNNNNN.jpg, each\n"
           "                     velocity as 128 + v * 127 / bound, "
           "clipped to 0..255\n"
           "                     e.g. of_ulk_export clip.avi out --format "
           "xy\n"
           "  --bound B          xy images: the speed coded as 255 (and -B "
           "as 1); default 20\n"
           "                     e.g. of_ulk_export clip.avi out --format "
           "xy --bound 15\n"
           "  --xy-png           xy images as PNG (lossless) instead of "
           "JPEG\n"
           "                     e.g. of_ulk_export clip.avi out --format "
           "xy --xy-png\n"
           "  --png              also write flow_NNNNNN.png, the field in "
           "of_ulk's colours\n"
           "                     (black: no motion, hue: direction, "
           "lighter: faster)\n"
           "                     e.g. of_ulk_export clip.avi out --png\n"
           "  --wheel            also write flow_NNNNNN_wheel.png, the field "
           "in colour-wheel\n"
           "                     coding (white: no motion, hue: direction, "
           "saturation: speed)\n"
           "                     e.g. of_ulk_export clip.avi out --wheel\n"
           "  --max-speed V      wheel saturation is full at V pixels per "
           "pair (faster is\n"
           "                     darkened); default: the frame's largest "
           "speed\n"
           "                     e.g. of_ulk_export clip.avi out --wheel "
           "--max-speed 8\n"
           "  --step S           pair frame N with frame N + S instead of "
           "N + 1\n"
           "                     e.g. of_ulk_export clip.avi out --step 2\n"
           "  --resize WxH       resize every frame to W x H before the "
           "flow\n"
           "                     e.g. of_ulk_export clip.avi out --resize "
           "320x240\n"
           "  --short-side N     scale every frame so that its shorter side "
           "is N pixels\n"
           "                     e.g. of_ulk_export clip.avi out "
           "--short-side 256\n"
           "  --legend CORNER    draw the colour wheel into each wheel image "
           "at a corner:\n"
           "                     tl, tr, bl or br\n"
           "                     e.g. of_ulk_export clip.avi out --wheel "
           "--legend br\n"
           "  -j, --jobs N       number of workers (default: one per core, "
           "here " +
           std::to_string(defaultJobCount()) +
           ")\n"
           "                     e.g. of_ulk_export frames/ out -j 1\n"
           "  --max-pairs N      stop after N frame pairs\n"
           "                     e.g. of_ulk_export clip.avi out "
           "--max-pairs 100\n"
           "  --refined          the engine's refined mode: about twice the "
           "time, a more\n"
           "                     accurate field (motions up to 40 pixels, "
           "sub-pixel)\n"
           "                     e.g. of_ulk_export clip.avi out --refined\n"
           "  --force            overwrite existing output files (in a "
           "collection: redo\n"
           "                     inputs marked done)\n"
           "                     e.g. of_ulk_export a.png b.png out --force\n"
           "  -q, --quiet        no progress line on standard error\n"
           "                     e.g. of_ulk_export clip.avi out --quiet\n"
           "  -h, --help         show this text\n"
           "\n"
           "Exit status: 0 done, 1 input, output or flow failure, 2 wrong "
           "command line,\n"
           "130 stopped by SIGINT, 143 stopped by SIGTERM. Every file is "
           "written under a\n"
           "temporary name and renamed when complete.\n";
}

} // namespace ulk::exporter
