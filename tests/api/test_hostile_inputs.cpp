// The program of_ulk given hostile files and arguments: empty, text,
// truncated and hand-made AVI files, names that are no files, names too long
// for the system, non-ASCII bytes. Every run must end with a clear message
// and status -1 (255), or with the normal end, never with a crash, an abort
// or a hang.
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kClipWidth = 160;
constexpr int kClipHeight = 120;
constexpr int kClipFrames = 10;
// A run that takes longer counts as hung; `timeout` then exits with 124.
constexpr int kRunTimeoutSeconds = 120;

const std::string kNoDisplay = "No display: the Result window is not shown.\n";
const std::string kOpening = "Processing avi file...\n";
// Makes the video library try its own MJPEG reader first. That reader hands
// out what the container holds (frames of another size, a header without a
// size or rate), where the FFmpeg reader would scale or repair it.
const std::string kOwnReader = "OPENCV_VIDEOIO_PRIORITY_LIST=CV_MJPEG";

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs of_ulk in dir (see runProgram) and stops it if it hangs.
ProcessResult runOfUlk(const std::string& dir,
                       const std::vector<std::string>& args,
                       const std::string& environment = "")
{
    return runProgram(dir, OF_ULK_BINARY, args, environment,
                      kRunTimeoutSeconds);
}

// Frames processed: one position line each.
int positionLines(const std::string& out)
{
    const std::string line = "==> film current position: ";
    int count = 0;
    for (std::size_t at = out.find(line); at != std::string::npos;
         at = out.find(line, at + line.size()))
        ++count;
    return count;
}

// A real clip from the clip maker.
std::string makeClip(const std::string& dir, const std::string& name,
                     int frames = kClipFrames)
{
    const std::string command =
        shellQuoted(OF_ULK_CLIP_MAKER) + " " + shellQuoted(dir + "/" + name) +
        " " + std::to_string(kClipWidth) + " " + std::to_string(kClipHeight) +
        " " + std::to_string(frames) + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return readFileBytes(dir + "/" + name);
}

// ---- AVI files written by hand ------------------------------------------
//
// The video writer refuses frames of another size than its first, so files
// whose container says what its frames do not hold are put together here:
// a RIFF AVI with one MJPG stream whose frames are JPEG images.

struct AviHeader {
    int width; // declared frame size
    int height;
    uint32_t rate; // frames per `scale` seconds; 0 declares no rate
    uint32_t scale;
};

// Little-endian words and RIFF chunks.
class Bytes {
  public:
    Bytes& u32(std::initializer_list<uint32_t> words)
    {
        for (uint32_t v : words)
            for (int i = 0; i < 4; ++i)
                data_ += static_cast<char>((v >> (8 * i)) & 0xFF);
        return *this;
    }
    Bytes& u16(std::initializer_list<uint16_t> words)
    {
        for (uint16_t v : words)
            data_ += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        return *this;
    }
    Bytes& code(const char* fourcc)
    {
        data_.append(fourcc, 4);
        return *this;
    }
    // A chunk: its code, its size and its data padded to an even length.
    Bytes& chunk(const char* fourcc, const std::string& body)
    {
        code(fourcc).u32({static_cast<uint32_t>(body.size())});
        data_ += body;
        if (body.size() % 2)
            data_ += '\0';
        return *this;
    }
    Bytes& list(const char* type, const std::string& body)
    {
        return chunk("LIST", std::string(type, 4) + body);
    }
    const std::string& str() const { return data_; }

  private:
    std::string data_;
};

std::string jpeg(const cv::Mat& frame)
{
    std::vector<uchar> bytes;
    cv::imencode(".jpg", frame, bytes);
    return std::string(bytes.begin(), bytes.end());
}

// An AVI holding the given chunk payloads as its video frames.
std::string makeAvi(const std::vector<std::string>& payloads, AviHeader h)
{
    const uint32_t n = static_cast<uint32_t>(payloads.size());
    const uint32_t w = static_cast<uint32_t>(h.width);
    const uint32_t ht = static_cast<uint32_t>(h.height);
    const uint32_t usPerFrame = h.rate ? 1000000u * h.scale / h.rate : 0;
    // Main header: frame time, flags (has an index), frames, one stream.
    Bytes avih;
    avih.u32({usPerFrame, 0, 0, 0x10, n, 0, 1, 0, w, ht, 0, 0, 0, 0});
    Bytes strh;
    strh.code("vids").code("MJPG").u32({0}).u16({0, 0});
    strh.u32({0, h.scale, h.rate, 0, n, 0, 0xFFFFFFFFu, 0});
    strh.u16({0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(ht)});
    Bytes strf; // BITMAPINFOHEADER
    strf.u32({40, w, ht}).u16({1, 24}).code("MJPG");
    strf.u32({w * ht * 3, 0, 0, 0, 0});
    Bytes strl;
    strl.chunk("strh", strh.str()).chunk("strf", strf.str());
    Bytes hdrl;
    hdrl.chunk("avih", avih.str()).list("strl", strl.str());

    Bytes movi;
    Bytes index;
    for (const std::string& payload : payloads) {
        // Key frame at an offset counted from the "movi" code of the list.
        index.code("00dc").u32(
            {0x10, uint32_t(movi.str().size() + 4), uint32_t(payload.size())});
        movi.chunk("00dc", payload);
    }
    Bytes riff;
    riff.code("AVI ").list("hdrl", hdrl.str()).list("movi", movi.str());
    riff.chunk("idx1", index.str());
    return Bytes().chunk("RIFF", riff.str()).str();
}

// Frame `index` of a light box moving right on a dark textured ground.
cv::Mat movingBox(cv::Size size, int index)
{
    cv::Mat frame(size, CV_8UC3);
    cv::RNG(3).fill(frame, cv::RNG::UNIFORM, 20, 90);
    cv::rectangle(frame,
                  cv::Rect(size.width / 8 + 2 * index, size.height / 4,
                           size.width / 3, size.height / 3),
                  cv::Scalar(200, 220, 240), cv::FILLED);
    return frame;
}

// Six JPEG frames: `first` for the first three, `later` for the rest.
std::vector<std::string> boxFrames(cv::Size first, cv::Size later)
{
    std::vector<std::string> frames;
    for (int i = 0; i < 6; ++i)
        frames.push_back(jpeg(movingBox(i < 3 ? first : later, i)));
    return frames;
}

const cv::Size kBox(160, 120);
const AviHeader kBoxHeader{kBox.width, kBox.height, 25, 1};

// ---- The cases ------------------------------------------------------------

using MakeFiles = std::function<void(const std::string& dir)>;

struct HostileCase {
    std::string name;
    MakeFiles make; // puts the files into the run's folder
    std::vector<std::string> args;
    std::string environment;
    int status;         // 0, or 255 for -1
    std::string out;    // whole standard output; "" when frames are counted
    std::string errEnd; // how standard error ends
    int fewestFrames;   // frames processed, at least
    int mostFrames;     // and at most
    int recorded;       // frames in clip_out.avi: kNoOutput, kAsProcessed or
                        // a count
};

constexpr int kNoOutput = -1;
constexpr int kAsProcessed = -2;

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

// A run refused before the loop: status -1, the whole standard output and
// the end of standard error.
HostileCase refused(const std::string& name, MakeFiles make,
                    std::vector<std::string> args, const std::string& out,
                    const std::string& errEnd,
                    const std::string& environment = "")
{
    return {name, make, args, environment, 255, out, errEnd, 0, 0, kNoOutput};
}

// A run that ends normally after fewest to most frames, with nothing on
// standard error but the note on the missing display.
HostileCase processed(const std::string& name, MakeFiles make,
                      std::vector<std::string> args, int fewest, int most,
                      int recorded = kNoOutput,
                      const std::string& environment = "")
{
    return {name, make,       args,   environment, 0,
            "",   kNoDisplay, fewest, most,        recorded};
}

// The same for a video whose frames run out before the count its header
// declares: standard error ends with the warning on it.
HostileCase cutShort(HostileCase c)
{
    c.errEnd = " were read; the file may be cut short or damaged\n";
    return c;
}

std::string cantFind(const std::string& base)
{
    return kOpening + "Can't find file " + base + ".avi\n";
}

std::string deepPath()
{
    std::string path;
    for (int i = 0; i < 2100; ++i)
        path += "d/";
    return path + "clip.avi";
}

MakeFiles fileHolding(const std::string& bytes)
{
    return [bytes](const std::string& d) { writeFile(d + "/clip.avi", bytes); };
}

// clip.avi holding the first keep(size) bytes of a real clip.
MakeFiles cutClip(std::size_t (*keep)(std::size_t size))
{
    return [keep](const std::string& d) {
        const std::string clip = makeClip(d, "whole.avi");
        writeFile(d + "/clip.avi", clip.substr(0, keep(clip.size())));
    };
}

std::size_t insideTheHeader(std::size_t)
{
    return 300;
}

std::size_t half(std::size_t size)
{
    return size / 2;
}

// clip.avi written by hand: six frames, the last three of `later` size.
MakeFiles handMadeAvi(AviHeader header, cv::Size later = kBox)
{
    return [header, later](const std::string& d) {
        writeFile(d + "/clip.avi", makeAvi(boxFrames(kBox, later), header));
    };
}

const MakeFiles kNothing = [](const std::string&) {};

const std::string kNotDecodable =
    "Could not read clip.avi: no video stream that can be decoded\n";
const std::string kSizeChange = "frames of changing size cannot be compared\n";
const std::string kSizeRange = "frames of 1 to 33177600 pixels are supported\n";

std::vector<HostileCase> hostileCases()
{
    const std::string a5000(5000, 'a');
    const std::string o250(250, 'o');
    const std::string deep = deepPath();
    HostileCase sizeChange = refused(
        "FrameSizeChangesMidway", handMadeAvi(kBoxHeader, cv::Size(96, 72)),
        {"clip.avi", "/r"}, "",
        "Frame 4 of clip.avi is 96 x 72, not 160 x 120 like the video: " +
            kSizeChange,
        kOwnReader);
    sizeChange.fewestFrames = sizeChange.mostFrames = 3;
    sizeChange.recorded = 3; // the frames shown before the change
    return {
        refused("EmptyFile", fileHolding(""), {"clip.avi"}, cantFind("clip"),
                "Could not read clip.avi: the file is empty\n"),
        refused("TextFile", fileHolding("This is no video.\nJust text.\n"),
                {"clip.avi"}, cantFind("clip"), kNotDecodable),
        refused("AviCutInsideItsHeader", cutClip(insideTheHeader),
                {"clip.avi", "/r"}, cantFind("clip"), kNotDecodable),
        cutShort(processed("AviCutInItsFrames", cutClip(half),
                           {"clip.avi", "/r"}, 1, kClipFrames - 1,
                           kAsProcessed)),
        refused(
            "DirectoryNamedLikeAClip",
            [](const std::string& d) { fs::create_directory(d + "/x.avi"); },
            {"x.avi"}, cantFind("x"),
            "Could not read x.avi: it is a directory\n"),
        refused(
            "FifoNamedLikeAClip",
            [](const std::string& d) {
                ASSERT_EQ(mkfifo((d + "/clip.avi").c_str(), 0600), 0);
            },
            {"clip.avi"}, cantFind("clip"),
            "Could not read clip.avi: it is not a regular file\n"),
        refused(
            "SymbolicLinkLoop",
            [](const std::string& d) {
                fs::create_symlink("clip.avi", d + "/clip.avi");
            },
            {"clip.avi"}, cantFind("clip"),
            "Could not read clip.avi: Too many levels of symbolic links\n"),
        refused("NameLongerThanAPath", kNothing, {a5000 + ".avi"},
                cantFind(a5000),
                "Could not read " + a5000.substr(0, 40) +
                    "... (5004 bytes): File name too long\n"),
        refused("PathLongerThanAPath", kNothing, {deep},
                cantFind(deep.substr(0, deep.size() - 4)),
                "Could not read " + deep.substr(0, 40) +
                    "... (4208 bytes): File name too long\n"),
        refused("MissingFileWithNonAsciiName", kNothing, {"M\xc3\xa9\xff.AVI"},
                cantFind("m\xc3\xa9\xff"), ""),
        processed(
            "NameThatLooksLikeAUrl",
            [](const std::string& d) {
                // Read as a URL, the name would open other.avi instead.
                makeClip(d, "concat:other.avi");
                makeClip(d, "other.avi", 4);
            },
            {"concat:other.avi"}, kClipFrames, kClipFrames),
        refused(
            "OutputNameTooLongForTheSystem",
            [o250](const std::string& d) { makeClip(d, o250 + ".avi"); },
            {o250 + ".avi", "/r"}, kOpening,
            "Could not create the output video " + o250.substr(0, 40) +
                "... (258 bytes)\n"),
        sizeChange,
        // The FFmpeg reader scales every frame to the first one's size.
        processed("FrameSizeChangesMidwayScaledByTheLibrary",
                  handMadeAvi(kBoxHeader, cv::Size(96, 72)), {"clip.avi"}, 6,
                  6),
        refused("HeaderDeclaresAnotherFrameSize",
                handMadeAvi(AviHeader{320, 240, 25, 1}), {"clip.avi"}, kOpening,
                "Frame 1 of clip.avi is 160 x 120, not 320 x 240 like the "
                "video: " +
                    kSizeChange,
                kOwnReader),
        // The output opened for /r receives no frame and is removed.
        refused("HeaderDeclaresAnotherFrameSizeRecordsNothing",
                handMadeAvi(AviHeader{320, 240, 25, 1}), {"clip.avi", "/r"},
                kOpening,
                "Frame 1 of clip.avi is 160 x 120, not 320 x 240 like the "
                "video: " +
                    kSizeChange,
                kOwnReader),
        refused("HeaderDeclaresHugeFrames",
                handMadeAvi(AviHeader{60000, 60000, 25, 1}), {"clip.avi", "/r"},
                kOpening,
                "Unsupported frame size 60000 x 60000 in clip.avi: " +
                    kSizeRange,
                kOwnReader),
        refused("HeaderDeclaresNoFrameSize",
                handMadeAvi(AviHeader{0, 0, 25, 1}), {"clip.avi"}, kOpening,
                "Unsupported frame size 0 x 0 in clip.avi: " + kSizeRange,
                kOwnReader),
        processed("HeaderDeclaresNoFrameRate",
                  handMadeAvi(AviHeader{160, 120, 0, 0}), {"clip.avi", "/r"}, 6,
                  6, 6, kOwnReader),
        // No frame is shown, so the output video is removed again.
        cutShort(processed("FramesThatAreNoImages",
                           fileHolding(makeAvi(std::vector<std::string>(
                                                   6, std::string(500, 'x')),
                                               kBoxHeader)),
                           {"clip.avi", "/r"}, 0, 0, kNoOutput)),
    };
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EndsWithAClearMessageAndNoCrash)
{
    const HostileCase& c = GetParam();
    SCOPED_TRACE(c.name);
    const std::string dir = testRunDir();
    c.make(dir);
    const ProcessResult r = runOfUlk(dir, c.args, c.environment);

    EXPECT_EQ(r.status, c.status) << "standard error:\n" << r.err;
    if (!c.out.empty()) {
        EXPECT_EQ(r.out, c.out);
    }
    const int frames = positionLines(r.out);
    EXPECT_GE(frames, c.fewestFrames) << r.out;
    EXPECT_LE(frames, c.mostFrames) << r.out;
    EXPECT_GE(r.err.size(), c.errEnd.size());
    EXPECT_EQ(
        r.err.substr(r.err.size() - std::min(r.err.size(), c.errEnd.size())),
        c.errEnd)
        << "whole standard error:\n"
        << r.err;
    const std::string output = dir + "/clip_out.avi";
    if (c.recorded == kNoOutput) {
        EXPECT_FALSE(fs::exists(output));
    } else {
        EXPECT_EQ(int(readVideoFrames(output).size()),
                  c.recorded == kAsProcessed ? frames : c.recorded);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileInput,
                         ::testing::ValuesIn(hostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return info.param.name;
                         });

// The non-ASCII bytes of a name pass unchanged (only A to Z are
// lower-cased) to the file and to the output name; the option text with
// stray bytes still holds "/r".
TEST(HostileArguments, NonAsciiBytesReachTheFileAndTheOutputName)
{
    const std::string dir = testRunDir();
    makeClip(dir, "cl\xc3\x8fp.avi");
    const ProcessResult r = runOfUlk(dir, {"CL\xc3\x8fP.AVI", "\xff/r\xfe"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(positionLines(r.out), kClipFrames);
    EXPECT_EQ(int(readVideoFrames(dir + "/cl\xc3\x8fp_out.avi").size()),
              kClipFrames);
}

} // namespace
