#include "output_video.h"

#include "library_log.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace ulk::viewer {

namespace {

// Room kept besides two frames: what the writer holds in its buffer and
// the end of the file; the index adds kIndexBytesPerFrame per frame.
constexpr std::uintmax_t kWriterSlack = 64 * 1024;
constexpr std::uintmax_t kIndexBytesPerFrame = 32;
// The part of an AVI file that holds its headers is read up to this size.
constexpr std::size_t kMostHeaderBytes = 64 * 1024;

std::uint32_t littleEndian32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(
                                 bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

} // namespace

bool OutputVideo::open(const std::string& name, double rate, cv::Size size)
{
    release();
    viz::QuietLibraryLog quiet;
    const int codecs[] = {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'),
                          cv::VideoWriter::fourcc('M', 'J', 'P', 'G')};
    for (int codec : codecs) {
        if (writer_.open(name, codec, rate, size, true)) {
            name_ = name;
            frames_ = 0;
            error_.clear();
            return true;
        }
    }
    return false;
}

bool OutputVideo::write(const cv::Mat& frame)
{
    if (!writer_.isOpened() || !error_.empty())
        return false;
    // An encoded frame is not larger than the raw one.
    error_ = roomProblem(frame.total() * frame.elemSize());
    if (!error_.empty())
        return false;
    writer_.write(frame);
    ++frames_;
    return true;
}

void OutputVideo::release()
{
    if (!writer_.isOpened())
        return;
    writer_.release();
    if (frames_ == 0) {
        std::remove(name_.c_str());
        return;
    }
    // A write that failed in spite of the checks shows in the header,
    // which the release completes last.
    const long declared = aviDeclaredFrames(name_);
    if (error_.empty() && declared != frames_) {
        error_ = roomProblem(0);
        if (error_.empty())
            error_ = "its header declares " + std::to_string(declared) +
                     " of the " + std::to_string(frames_) + " frames written";
    }
}

std::string OutputVideo::roomProblem(std::size_t frameBytes) const
{
    const std::uintmax_t needed =
        2 * static_cast<std::uintmax_t>(frameBytes) + kWriterSlack +
        kIndexBytesPerFrame * static_cast<std::uintmax_t>(frames_ + 2);
    struct statvfs disk = {};
    if (statvfs(name_.c_str(), &disk) == 0 &&
        static_cast<std::uintmax_t>(disk.f_bavail) * disk.f_frsize < needed)
        return std::generic_category().message(ENOSPC);
    struct rlimit limit = {};
    struct stat file = {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY && stat(name_.c_str(), &file) == 0 &&
        static_cast<std::uintmax_t>(file.st_size) + needed > limit.rlim_cur)
        return std::generic_category().message(EFBIG);
    return "";
}

long aviDeclaredFrames(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::string bytes(kMostHeaderBytes, '\0');
    in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    // RIFF size "AVI " LIST size "hdrl" avih size, then the main header,
    // whose fifth word is the frame count.
    if (bytes.size() < 52 || bytes.compare(0, 4, "RIFF") != 0 ||
        bytes.compare(8, 4, "AVI ") != 0 || bytes.compare(12, 4, "LIST") != 0 ||
        bytes.compare(20, 8, "hdrlavih") != 0)
        return -1;
    long frames = static_cast<long>(littleEndian32(bytes, 48));
    // The chunks of the header list; an OpenDML list holds the count of the
    // whole file in the first word of its dmlh chunk.
    const std::size_t end =
        std::min<std::size_t>(bytes.size(), 20 + littleEndian32(bytes, 16));
    for (std::size_t at = 24; at + 8 <= end;) {
        const std::size_t size = littleEndian32(bytes, at + 4);
        if (bytes.compare(at, 4, "LIST") == 0 && at + 24 <= end &&
            bytes.compare(at + 8, 8, "odmldmlh") == 0)
            frames = static_cast<long>(littleEndian32(bytes, at + 20));
        at += 8 + size + size % 2;
    }
    return frames;
}

} // namespace ulk::viewer
