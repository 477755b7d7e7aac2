#include "driver.h"

#include "cvoptflowulk.h"
#include "display_probe.h"
#include "film_position.h"
#include "frame_io.h"
#include "frame_pipeline.h"
#include "interrupt_watch.h"
#include "library_log.h"
#include "output_video.h"
#include "short_video.h"
#include "source_name.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc/imgproc_c.h>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

namespace ulk::viewer {

const char* const kHelpText =
    "\n\n=== Optical flow help ===\n\n"
    "of_ulk.exe [file.avi | 0..9] [/r | /si | /av | /hq]\n"
    " 0..9 - capture device number\n"
    " /r   - write result in file_out.avi\n"
    " /si  - show the stuff info of optical flow\n"
    " /av  - addition of the processed adjacent velocity maps\n"
    " /hq  - refined flow: more accurate, about 2.5 times the time\n";

namespace {

const char* const kWindowName = "Result";
// Frame rate given to the writer for a capture device, whose own rate is
// not asked for, and for a file that gives no usable rate.
constexpr double kCaptureFrameRate = 12.0;
// Rates above this are taken for a broken header, not a real film.
constexpr double kMaxFrameRate = 1000.0;
// Largest frame taken, 8K UHD: the program and the engine need about 46
// bytes per pixel, so a header claiming more is refused before anything
// is allocated.
constexpr long long kMaxFramePixels = 7680LL * 4320LL;
// File names longer than this are shown shortened in messages.
constexpr std::size_t kShownNameLength = 80;
// Smallest storage block with the stuff info, and the slack added to the
// label map for the storage's own block header.
constexpr int kStuffInfoBlockSize = 0x97000;
constexpr std::size_t kBlockSlack = 256;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// What the program opens. However the run ends, the writer is released
// first, then the capture; the frame loop releases its own images before.
struct Resources {
    cv::VideoCapture capture;
    OutputVideo writer;

    void releaseAll()
    {
        writer.release();
        capture.release();
    }
};

// Without a display that can be opened Qt would abort on creating the
// window; its offscreen platform lets the program run all the same. Qt
// takes X by default, so a Wayland display that is there alone is named.
void prepareWindowSystem()
{
    const std::string authorityFile =
        xAuthorityFile(std::getenv("XAUTHORITY"), std::getenv("HOME"));
    const ReachableDisplay display =
        probeDisplay(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                     std::getenv("XDG_RUNTIME_DIR"), authorityFile.c_str());
    if (display == ReachableDisplay::X11)
        return;
    if (display == ReachableDisplay::Wayland) {
        setenv("QT_QPA_PLATFORM", "wayland", 0);
        return;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The offscreen platform warns about window features it lacks; nobody
    // sees that window, so its warnings are only noise.
    setenv("QT_LOGGING_RULES", "default.warning=false", 0);
    std::fflush(stdout);
    std::fputs("No display: the Result window is not shown.\n", stderr);
}

// The name as messages show it: whole up to kShownNameLength bytes, else
// its start and its length.
std::string shownName(const std::string& name)
{
    if (name.size() <= kShownNameLength)
        return name;
    return name.substr(0, kShownNameLength / 2) + "... (" +
           std::to_string(name.size()) + " bytes)";
}

enum class FileState { Missing, Unusable, Readable };

// Looks at the file before any video backend does: only a non-empty regular
// file that can be read is handed on. A FIFO would block the open for good
// and a directory or device is no film. Problems other than a missing file
// are reported on standard error.
FileState checkVideoFile(const std::string& name)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(name, error);
    const char* problem = nullptr;
    std::string detail;
    if (status.type() == fs::file_type::not_found ||
        error == std::errc::no_such_file_or_directory ||
        error == std::errc::not_a_directory)
        return FileState::Missing;

    if (error) {
        detail = error.message();
        problem = detail.c_str();
    } else if (fs::is_directory(status)) {
        problem = "it is a directory";
    } else if (!fs::is_regular_file(status)) {
        problem = "it is not a regular file";
    } else if (std::FILE* file = std::fopen(name.c_str(), "rb")) {
        const bool empty = std::fgetc(file) == EOF;
        std::fclose(file);
        if (empty)
            problem = "the file is empty";
    } else {
        detail = std::generic_category().message(errno);
        problem = detail.c_str();
    }
    if (problem == nullptr)
        return FileState::Readable;
    std::fflush(stdout);
    std::fprintf(stderr, "Could not read %s: %s\n", shownName(name).c_str(),
                 problem);
    return FileState::Unusable;
}

// A relative name is passed as "./name", so that no backend takes a name
// such as "concat:clip.avi" for a URL or protocol.
std::string plainPathName(const std::string& name)
{
    return !name.empty() && name[0] == '/' ? name : "./" + name;
}

// True when a frame of width x height can be taken; otherwise says why on
// standard error.
bool acceptFrameSize(const std::string& sourceName, int width, int height)
{
    if (width > 0 && height > 0 &&
        static_cast<long long>(width) * height <= kMaxFramePixels)
        return true;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Unsupported frame size %d x %d in %s: frames of 1 to %lld "
                 "pixels are supported\n",
                 width, height, shownName(sourceName).c_str(), kMaxFramePixels);
    return false;
}

// The rate to record with: the source's, when it is a plausible film rate.
double usableFrameRate(double rate)
{
    return std::isfinite(rate) && rate > 0.0 && rate <= kMaxFrameRate
               ? rate
               : kCaptureFrameRate;
}

// How messages name the source.
std::string sourceName(const DriverOptions& options)
{
    if (options.action == DriverOptions::Action::Capture)
        return "capture device " + std::to_string(options.device);
    return options.source;
}

// Opens the source and reads the frame size and rate. Returns 1 when the
// loop can start, 0 for a device that delivers no frame and -1 on failure
// (after printing why).
int openSource(const DriverOptions& options, cv::VideoCapture& capture,
               int& width, int& height, double& rate)
{
    if (options.action == DriverOptions::Action::Capture) {
        std::fputs("Processing capture...\n", stdout);
        bool opened = false;
        {
            viz::QuietLibraryLog quiet;
            opened = capture.open(options.device);
        }
        if (!opened) {
            std::fflush(stdout);
            std::fputs("Could not initialize capturing...\n", stderr);
            return -1;
        }
        // This frame only gives the size; the loop starts with the next.
        cv::Mat probe;
        if (!capture.read(probe) || probe.empty())
            return 0;
        width = probe.cols;
        height = probe.rows;
        rate = kCaptureFrameRate;
        return acceptFrameSize(sourceName(options), width, height) ? 1 : -1;
    }

    std::fputs("Processing avi file...\n", stdout);
    const FileState state = checkVideoFile(options.source);
    bool opened = false;
    if (state == FileState::Readable) {
        viz::QuietLibraryLog quiet;
        opened = capture.open(plainPathName(options.source));
    }
    if (!opened) {
        std::printf("Can't find file %s.avi\n", options.baseName.c_str());
        if (state == FileState::Readable) {
            std::fflush(stdout);
            std::fprintf(stderr,
                         "Could not read %s: no video stream that can be "
                         "decoded\n",
                         shownName(options.source).c_str());
        }
        return -1;
    }
    capture.set(cv::CAP_PROP_POS_AVI_RATIO, 0.0);
    width = truncateToInt(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    height = truncateToInt(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    rate = usableFrameRate(capture.get(cv::CAP_PROP_FPS));
    return acceptFrameSize(options.source, width, height) ? 1 : -1;
}

int runPipeline(const DriverOptions& options, Resources& res,
                frontend::InterruptWatch& watch)
{
    int width = 0;
    int height = 0;
    double rate = 0.0;
    const int opened = openSource(options, res.capture, width, height, rate);
    if (opened <= 0)
        return opened;

    if (options.record &&
        !res.writer.open(options.outputName, rate, cv::Size(width, height))) {
        std::fflush(stdout);
        std::fprintf(stderr, "Could not create the output video %s\n",
                     shownName(options.outputName).c_str());
        return -1;
    }

    prepareWindowSystem();
    cv::namedWindow(kWindowName, 0);

    FrameLoopSettings settings;
    settings.frameSize = cv::Size(width, height);
    settings.stuffInfo = options.stuffInfo;
    settings.addFields = options.addFields;
    settings.refined = options.refined;
    settings.storageBlockSize =
        storageBlockSize(height, width, options.stuffInfo);
    settings.shownSource = shownName(sourceName(options));
    settings.workers = frameLoopWorkers();
    // A file's header declares its frame count; a device's does not.
    const long declared =
        options.action == DriverOptions::Action::File
            ? truncateToInt(res.capture.get(cv::CAP_PROP_FRAME_COUNT))
            : 0;
    CaptureSource source(res.capture);
    WindowSink sink(kWindowName, res.writer);
    const int status = runFrameLoop(source, sink, settings, &watch);
    // What was read was shown all the same.
    const std::string warning =
        source.ended()
            ? frontend::shortVideoWarning(declared, source.framesRead())
            : "";
    if (!warning.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "Warning: %s\n", warning.c_str());
    }
    return status;
}

// True for no argument or a lone one that asks for help: "/?" anywhere in
// it, or the usual -h and --help.
bool asksForHelp(int argc, const char* const* argv)
{
    if (argc < 2)
        return true;
    if (argc > 2)
        return false;
    const std::string argument = argv[1];
    return argument.find("/?") != std::string::npos || argument == "-h" ||
           argument == "--help";
}

} // namespace

DriverOptions parseCommandLine(int argc, const char* const* argv)
{
    DriverOptions options;
    if (asksForHelp(argc, argv)) {
        options.action = DriverOptions::Action::Help;
        return options;
    }

    options.source = argv[1];
    const bool startsWithDigit =
        !options.source.empty() && isDigit(options.source[0]);
    const std::size_t aviAt = findAviExtension(options.source);
    if (aviAt == std::string::npos && !startsWithDigit) {
        options.action = DriverOptions::Action::NotAvi;
        return options;
    }

    std::string optionText;
    for (int i = 2; i < argc; ++i)
        optionText += argv[i];
    options.record = optionText.find("/r") != std::string::npos;
    options.stuffInfo = optionText.find("/si") != std::string::npos;
    options.addFields = optionText.find("/av") != std::string::npos;
    options.refined = optionText.find("/hq") != std::string::npos;

    // The digit test comes first: "7clip.avi" is capture device 7.
    if (startsWithDigit) {
        options.action = DriverOptions::Action::Capture;
        options.device = options.source[0] - '0';
    } else {
        options.action = DriverOptions::Action::File;
    }
    nameSourceFile(options, options.source);
    return options;
}

void nameSourceFile(DriverOptions& options, const std::string& name)
{
    options.source = name;
    if (options.action == DriverOptions::Action::File)
        options.baseName = name.substr(0, findAviExtension(name));
    options.outputName = options.baseName + "_out.avi";
}

int storageBlockSize(int rows, int cols, bool stuffInfo)
{
    if (!stuffInfo)
        return 0;
    const std::size_t map = static_cast<std::size_t>(std::max(rows, 0)) *
                            static_cast<std::size_t>(std::max(cols, 0)) * 2;
    const std::size_t needed = ((map + 7) & ~static_cast<std::size_t>(7)) +
                               sizeof(CvMemBlock) + kBlockSlack;
    const std::size_t block =
        std::max(needed, static_cast<std::size_t>(kStuffInfoBlockSize));
    return static_cast<int>(std::min(block, static_cast<std::size_t>(INT_MAX)));
}

int runOfUlk(int argc, char** argv)
{
    DriverOptions options = parseCommandLine(argc, argv);
    if (options.action == DriverOptions::Action::Help) {
        std::fputs(kHelpText, stdout);
        return 0;
    }
    if (options.action == DriverOptions::Action::NotAvi) {
        std::fputs("AVI files are processing only!\n\n", stdout);
        return -1;
    }

    if (options.action == DriverOptions::Action::File)
        nameSourceFile(options, openableSourceName(options.source));

    // FFmpeg's own messages (a codec the writer cannot use) bypass the
    // library's logger; this keeps them to fatal ones unless asked for.
    setenv("OPENCV_FFMPEG_LOGLEVEL", "0", 0);
    applyThreadSetting();

    // From here on a stop signal ends the run as a key does, and the
    // recording is closed before the program leaves; the watch outlives
    // the resources, so that it also covers their release.
    frontend::InterruptWatch watch({SIGINT, SIGTERM, SIGHUP});
    Resources res;
    int status = -1;
    try {
        status = runPipeline(options, res, watch);
    } catch (const RecordingStopped&) {
        // Said below, once the frames recorded are closed in order.
    } catch (const cv::Exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "OpenCV error: %s", e.what());
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
        std::fflush(stdout);
        std::fputs("Error: unknown failure\n", stderr);
    }
    res.releaseAll();
    if (!res.writer.error().empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "Could not write the output video %s: %s\n",
                     shownName(options.outputName).c_str(),
                     res.writer.error().c_str());
        status = -1;
    }
    if (watch.signal() != 0)
        return frontend::exitStatusForSignal(watch.signal());
    return status;
}

} // namespace ulk::viewer
