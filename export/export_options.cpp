#include "export_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <set>
#include <thread>
#include <type_traits>
#include <utility>

namespace ulk::exporter {

namespace {

// Upper bound on --jobs: more threads than this only cost memory.
constexpr int kMaxJobs = 256;
// Largest frame side of --resize and --short-side: beyond any video format.
constexpr long kMaxSide = 16384;
// Largest --step: a gap of more frames than this is no motion to track.
constexpr long kMaxStep = 10000;

// Column of the help text at which an option's description starts.
constexpr size_t kHelpColumn = 21;

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

// What follows an option on the command line.
enum class Argument {
    None,    // nothing: a flag
    Integer, // a whole number from min to max
    Real,    // a number above 0
    Size,    // WIDTHxHEIGHT, both sides from min to max
    Word,    // one of the option's words
};

// A word an option accepts and the number it stands for.
using Choice = std::pair<std::string, long>;

// What an option takes after it.
struct Takes {
    Argument argument;
    std::string metavar; // its name in the help
    std::string what;    // what it is, in the error about a refused one
    long min;
    long max; // 0: no upper end
    std::vector<Choice> words;
};

Takes nothing()
{
    return {Argument::None, "", "", 0, 0, {}};
}
Takes integer(std::string metavar, std::string what, long min, long max)
{
    return {
        Argument::Integer, std::move(metavar), std::move(what), min, max, {}};
}
Takes positive(std::string metavar, std::string what)
{
    return {Argument::Real, std::move(metavar), std::move(what), 0, 0, {}};
}
Takes size(std::string metavar, std::string what, long min, long max)
{
    return {Argument::Size, std::move(metavar), std::move(what), min, max, {}};
}
Takes oneOf(std::string metavar, std::string what, std::vector<Choice> words)
{
    return {Argument::Word,  std::move(metavar), std::move(what), 0, 0,
            std::move(words)};
}

// An option's argument as read.
struct Value {
    long number = 0; // Integer, Word; Size: the width
    long height = 0; // Size
    double real = 0.0;
};

using Store = std::function<void(ExportOptions&, const Value&)>;

// The store of an option that sets one field: a flag sets it to true, an
// argument gives its value.
template <typename T> Store into(T ExportOptions::*field)
{
    return [field](ExportOptions& o, const Value& v) {
        if constexpr (std::is_same_v<T, bool>)
            o.*field = true;
        else if constexpr (std::is_floating_point_v<T>)
            o.*field = v.real;
        else
            o.*field = static_cast<T>(v.number);
    };
}

// One option: what the parser accepts and what the help text says of it.
struct Option {
    Option(std::vector<std::string> names, Takes takes, Store store,
           std::vector<std::string> help, std::string example)
        : names(std::move(names)), takes(std::move(takes)),
          store(std::move(store)), help(std::move(help)),
          example(std::move(example))
    {
    }

    // "-j", "--jobs": the short name first; a refused value is reported
    // under the last.
    std::vector<std::string> names;
    Takes takes;
    Store store;
    std::vector<std::string> help; // the lines beside the names
    std::string example;           // the arguments of the e.g. line
};

// "a, b or c".
std::string wordList(const std::vector<Choice>& words)
{
    std::string list;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            list += i + 1 == words.size() ? " or " : ", ";
        list += words[i].first;
    }
    return list;
}

// The refined mode's settings (--refine-*), one field of CvULKRefineParams
// each: a whole number is checked here, a real one only for being positive
// (the library checks its range when the first pair is computed).
struct RefineRow {
    const char* name;
    const char* metavar;
    double CvULKRefineParams::*real; // or whole, with its range
    int CvULKRefineParams::*whole;
    long min;
    long max;
    const char* help;
    const char* example; // the value of the e.g. line
};

using P = CvULKRefineParams;
const RefineRow kRefineRows[] = {
    // clang-format off
    {"--refine-scale", "S", &P::pyramidScale, nullptr, 0, 0, "each level S times the next finer, 0.5 to 0.95", "0.75"},
    {"--refine-coarsest", "N", nullptr, &P::coarsestSide, 4, 1024, "shorter side of the coarsest level, pixels", "12"},
    {"--refine-finest", "F", &P::finestScale, nullptr, 0, 0, "finest level's size to the frame's, 0.1 to 1", "1"},
    {"--refine-alpha", "A", &P::alpha, nullptr, 0, 0, "smoothness weight, 0.01 to 1000", "8"},
    {"--refine-delta", "D", &P::delta, nullptr, 0, 0, "brightness constancy weight, up to 1000", "3"},
    {"--refine-gamma", "G", &P::gamma, nullptr, 0, 0, "gradient constancy weight, up to 1000", "5"},
    {"--refine-outer", "N", nullptr, &P::outerIterations, 1, 100, "fixed-point iterations per level", "3"},
    {"--refine-inner", "N", nullptr, &P::innerIterations, 1, 100, "SOR sweeps per fixed-point iteration", "10"},
    {"--refine-omega", "W", &P::omega, nullptr, 0, 0, "SOR over-relaxation factor, 1 to 1.99", "1.8"},
    {"--refine-fuse", "F", &P::fuseScale, nullptr, 0, 0, "the engine's field on levels up to F times the frame", "0.5"},
    // clang-format on
};

// The option of a RefineRow: it sets its field and selects the refined
// mode.
Option refineOption(const RefineRow& row)
{
    auto real = row.real;
    auto whole = row.whole;
    Store store = [real, whole](ExportOptions& o, const Value& v) {
        if (real)
            o.refineParams.*real = v.real;
        else
            o.refineParams.*whole = static_cast<int>(v.number);
        o.refined = true;
    };
    return Option(
        {row.name},
        real ? positive(row.metavar, "number")
             : integer(row.metavar, "whole number", row.min, row.max),
        store,
        {std::string("refined mode: ") + row.help, "(implies --refined)"},
        std::string("clip.avi out ") + row.name + " " + row.example);
}

// Every option, in the order of the help text; the refined mode's settings
// follow --refined.
std::vector<Option> optionTable()
{
    using viz::LegendCorner;
    const std::vector<Choice> corners = {
        {"tl", long(LegendCorner::TopLeft)},
        {"tr", long(LegendCorner::TopRight)},
        {"bl", long(LegendCorner::BottomLeft)},
        {"br", long(LegendCorner::BottomRight)}};
    Store resize = [](ExportOptions& o, const Value& v) {
        o.resizeWidth = static_cast<int>(v.number);
        o.resizeHeight = static_cast<int>(v.height);
    };
    std::vector<Option> table = {
        Option({"--format"},
               oneOf("F", "",
                     {{"flo", long(FieldFormat::Flo)},
                      {"xy", long(FieldFormat::Xy)}}),
               into(&ExportOptions::format),
               {"flo (default) or xy: x_NNNNNN.jpg and y_NNNNNN.jpg, each",
                "velocity as 128 + v * 127 / bound, clipped to 0..255"},
               "clip.avi out --format xy"),
        Option({"--bound"}, positive("B", "number of pixels"),
               into(&ExportOptions::bound),
               {"xy images: the speed coded as 255 (and -B as 1); default 20"},
               "clip.avi out --format xy --bound 15"),
        Option({"--xy-png"}, nothing(), into(&ExportOptions::xyPng),
               {"xy images as PNG (lossless) instead of JPEG"},
               "clip.avi out --format xy --xy-png"),
        Option({"--png"}, nothing(), into(&ExportOptions::png),
               {"also write flow_NNNNNN.png, the field in of_ulk's colours",
                "(black: no motion, hue: direction, lighter: faster)"},
               "clip.avi out --png"),
        Option({"--wheel"}, nothing(), into(&ExportOptions::wheel),
               {"also write flow_NNNNNN_wheel.png, the field in colour-wheel",
                "coding (white: no motion, hue: direction, saturation: speed)"},
               "clip.avi out --wheel"),
        Option({"--max-speed"}, positive("V", "number of pixels"),
               into(&ExportOptions::maxSpeed),
               {"wheel saturation is full at V pixels per pair (faster is",
                "darkened); default: the frame's largest speed"},
               "clip.avi out --wheel --max-speed 8"),
        Option({"--step"}, integer("S", "number of frames", 1, kMaxStep),
               into(&ExportOptions::step),
               {"pair frame N with frame N + S instead of N + 1"},
               "clip.avi out --step 2"),
        Option({"--resize"}, size("WxH", "WIDTHxHEIGHT", 1, kMaxSide), resize,
               {"resize every frame to W x H before the flow"},
               "clip.avi out --resize 320x240"),
        Option({"--short-side"}, integer("N", "length", 1, kMaxSide),
               into(&ExportOptions::shortSide),
               {"scale every frame so that its shorter side is N pixels"},
               "clip.avi out --short-side 256"),
        Option({"--legend"}, oneOf("CORNER", "corner", corners),
               into(&ExportOptions::legend),
               {"draw the colour wheel into each wheel image at a corner:",
                wordList(corners)},
               "clip.avi out --wheel --legend br"),
        Option({"-j", "--jobs"}, integer("N", "number of workers", 1, kMaxJobs),
               into(&ExportOptions::jobs),
               {"number of workers (default: one per core, here " +
                std::to_string(defaultJobCount()) + ")"},
               "frames/ out -j 1"),
        Option({"--max-pairs"}, integer("N", "count", 1, 0),
               into(&ExportOptions::maxPairs), {"stop after N frame pairs"},
               "clip.avi out --max-pairs 100"),
        Option({"--refined"}, nothing(), into(&ExportOptions::refined),
               {"the engine's refined mode: about 2.5 times the time, a more",
                "accurate field (motions of 60 pixels and more, sub-pixel)"},
               "clip.avi out --refined"),
        Option({"--force"}, nothing(), into(&ExportOptions::force),
               {"overwrite existing output files (in a collection: redo",
                "inputs marked done)"},
               "a.png b.png out --force"),
        Option({"-q", "--quiet"}, nothing(), into(&ExportOptions::quiet),
               {"no progress line on standard error"}, "clip.avi out --quiet"),
        Option({"-h", "--help"}, nothing(), into(&ExportOptions::help),
               {"show this text"}, ""),
    };
    auto after = table.begin();
    while (after != table.end() && after->names.back() != "--refined")
        ++after;
    for (const RefineRow& row : kRefineRows)
        after = table.insert(after + (after != table.end()), refineOption(row));
    return table;
}

const Option* findOption(const std::vector<Option>& table,
                         const std::string& name)
{
    for (const Option& option : table)
        for (const std::string& n : option.names)
            if (n == name)
                return &option;
    return nullptr;
}

// Reads an option's argument; false when the option refuses it.
bool readArgument(const Takes& takes, const std::string& text, Value& value)
{
    auto inRange = [&](long n) {
        return n >= takes.min && (takes.max == 0 || n <= takes.max);
    };
    size_t x = text.find('x');
    switch (takes.argument) {
    case Argument::None:
        return true;
    case Argument::Integer:
        return parseLong(text, value.number) && inRange(value.number);
    case Argument::Real:
        return parseDouble(text, value.real) && value.real > 0.0;
    case Argument::Size:
        return x != std::string::npos &&
               parseLong(text.substr(0, x), value.number) &&
               parseLong(text.substr(x + 1), value.height) &&
               inRange(value.number) && inRange(value.height);
    case Argument::Word:
        for (const auto& [word, number] : takes.words)
            if (word == text) {
                value.number = number;
                return true;
            }
        return false;
    }
    return false;
}

// What an option needs, for the error about an argument it refuses.
std::string needs(const Takes& takes)
{
    std::string range = " from " + std::to_string(takes.min) + " to " +
                        std::to_string(takes.max);
    switch (takes.argument) {
    case Argument::Integer:
        return takes.max == 0 ? "a positive " + takes.what
                              : "a " + takes.what + range;
    case Argument::Real:
        return "a positive " + takes.what;
    case Argument::Size:
        return takes.what + ", each" + range;
    case Argument::Word:
        return (takes.what.empty() ? "" : "a " + takes.what + ": ") +
               wordList(takes.words);
    case Argument::None:
        break;
    }
    return "";
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
    const std::vector<Option> table = optionTable();
    std::set<std::string> given; // the long names of the options given
    std::vector<std::string> positional;
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
        std::string text;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            text = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }

        const Option* option = findOption(table, arg);
        if (!option) {
            error = "unknown option " + arg;
            return false;
        }
        // --help ends the command line, whatever is after it or in it.
        Value value;
        if (option->names.back() == "--help") {
            option->store(options, value);
            return true;
        }
        Argument argument = option->takes.argument;
        if (argument == Argument::None && inlineValue) {
            error = "option " + arg + " takes no value";
            return false;
        }
        if (argument != Argument::None) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    error = "option " + arg + " needs a value";
                    return false;
                }
                text = args[++i];
            }
            if (!readArgument(option->takes, text, value)) {
                error = option->names.back() + " needs " +
                        needs(option->takes) + ", not '" + text + "'";
                return false;
            }
        }
        option->store(options, value);
        given.insert(option->names.back());
    }

    if ((given.count("--max-speed") || given.count("--legend")) &&
        !options.wheel) {
        error = "--max-speed and --legend apply to the --wheel images: add "
                "--wheel";
        return false;
    }
    if ((given.count("--bound") || given.count("--xy-png")) &&
        options.format != FieldFormat::Xy) {
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
    std::string text =
        "of_ulk_export: dense optical flow of every frame pair, written "
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
        "Options:\n";
    const std::string indent(kHelpColumn, ' ');
    for (const Option& option : optionTable()) {
        std::string head = "  ";
        for (const std::string& name : option.names)
            head += (&name == &option.names.front() ? "" : ", ") + name;
        if (!option.takes.metavar.empty())
            head += " " + option.takes.metavar;
        head.resize(std::max(head.size() + 1, kHelpColumn), ' ');
        for (const std::string& line : option.help) {
            text +=
                (&line == &option.help.front() ? head : indent) + line + "\n";
        }
        if (!option.example.empty())
            text += indent + "e.g. of_ulk_export " + option.example + "\n";
    }
    return text +
           "\n"
           "Exit status: 0 done, 1 input, output or flow failure, 2 wrong "
           "command line,\n"
           "130 stopped by SIGINT, 143 stopped by SIGTERM. Every file is "
           "written under a\n"
           "temporary name and renamed when complete.\n";
}

} // namespace ulk::exporter
