#include "frame_source.h"

#include "library_log.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace ulk::exporter {

namespace fs = std::filesystem;

namespace {

// Frames from a list of image files, read one at a time.
class ImageListSource : public FrameSource {
  public:
    explicit ImageListSource(std::vector<std::string> files)
        : files_(std::move(files))
    {
    }

    Read next(cv::Mat& grey, std::string& error) override
    {
        if (next_ >= files_.size())
            return Read::End;
        const std::string& file = files_[next_++];
        cv::Mat frame;
        try {
            frame = cv::imread(file, cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            frame.release();
        }
        if (frame.empty()) {
            error = "cannot read image " + file;
            return Read::Error;
        }
        grey = toGrey(frame);
        return Read::Frame;
    }

    long frameCount() const override
    {
        return static_cast<long>(files_.size());
    }
    bool countIsExact() const override { return true; }

  private:
    std::vector<std::string> files_;
    size_t next_ = 0;
};

// Sends what is written to the process's standard error to /dev/null for
// as long as it is alive. GStreamer reports its own teardown failures
// there directly, past the image library's logger.
class MutedStandardError {
  public:
    MutedStandardError() : saved_(::dup(STDERR_FILENO))
    {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~MutedStandardError()
    {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    MutedStandardError(const MutedStandardError&) = delete;
    MutedStandardError& operator=(const MutedStandardError&) = delete;

  private:
    int saved_;
};

// Frames decoded by the video reader. The first frame is read on opening
// to make sure that the file really decodes. The reader's backends log
// their own failures (each one tried on a file that is no video, damaged
// frames); the exporter reports them in its own words instead.
class VideoSource : public FrameSource {
  public:
    bool open(const std::string& path, std::string& error)
    {
        path_ = path;
        if (!openVideoQuietly(capture_, path, first_)) {
            error = "cannot read video " + path;
            return false;
        }
        count_ = static_cast<long>(capture_.get(cv::CAP_PROP_FRAME_COUNT));
        if (count_ <= 0)
            count_ = -1;
        return true;
    }

    Read next(cv::Mat& grey, std::string& error) override
    {
        cv::Mat frame;
        if (!first_.empty()) {
            frame = first_;
            first_.release();
        } else {
            try {
                viz::QuietLibraryLog quiet;
                if (!capture_.read(frame))
                    frame.release();
            } catch (const cv::Exception& e) {
                error = "cannot decode a frame of " + path_ + ": " + e.err;
                return Read::Error;
            }
        }
        if (frame.empty())
            return Read::End;
        grey = toGrey(frame);
        return Read::Frame;
    }

    long frameCount() const override { return count_; }
    bool countIsExact() const override { return false; }

  private:
    std::string path_;
    cv::VideoCapture capture_;
    cv::Mat first_;
    long count_ = -1;
};

// Opens a file or camera with the backend and reads its first frame.
template <typename Source>
bool openWith(cv::VideoCapture& capture, const Source& source, int backend,
              cv::Mat& first)
{
    try {
        return capture.open(source, backend) && capture.read(first) &&
               !first.empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

} // namespace

bool openVideoQuietly(cv::VideoCapture& capture, const std::string& path,
                      cv::Mat& first)
{
    viz::QuietLibraryLog quiet;
    // FFmpeg reads nearly every video; only a file that it refuses is
    // offered to the other backends, which talk on standard error.
    if (openWith(capture, path, cv::CAP_FFMPEG, first))
        return true;
    MutedStandardError muted;
    if (openWith(capture, path, cv::CAP_ANY, first))
        return true;
    capture.release(); // torn down while still muted
    return false;
}

bool openCameraQuietly(cv::VideoCapture& capture, int index, cv::Mat& first)
{
    viz::QuietLibraryLog quiet;
    MutedStandardError muted;
    if (openWith(capture, index, cv::CAP_ANY, first))
        return true;
    capture.release();
    return false;
}

cv::Mat toGrey(const cv::Mat& frame)
{
    cv::Mat grey;
    switch (frame.channels()) {
    case 1:
        grey = frame.clone();
        break;
    case 4:
        cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
        break;
    default:
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        break;
    }
    return grey;
}

cv::Size flowFrameSize(cv::Size size, int width, int height, int shortSide)
{
    if (width > 0 && height > 0)
        return cv::Size(width, height);
    if (shortSide <= 0 || size.width <= 0 || size.height <= 0)
        return size;
    auto scaled = [shortSide](int side, int shorter) {
        long long other =
            (2LL * side * shortSide + shorter) / (2LL * shorter); // rounded
        return static_cast<int>(std::max(1LL, other));
    };
    if (size.width <= size.height)
        return cv::Size(shortSide, scaled(size.height, size.width));
    return cv::Size(scaled(size.width, size.height), shortSide);
}

cv::Mat resizedFrame(const cv::Mat& frame, cv::Size size)
{
    const bool shrinks = size.width <= frame.cols && size.height <= frame.rows;
    cv::Mat resized;
    cv::resize(frame, resized, size, 0.0, 0.0,
               shrinks ? cv::INTER_AREA : cv::INTER_LINEAR);
    return resized;
}

bool isFrameFileName(const std::string& name)
{
    static const char* const kExtensions[] = {".png", ".jpg",  ".jpeg", ".bmp",
                                              ".tif", ".tiff", ".pgm",  ".ppm",
                                              ".pnm", ".webp"};
    std::string ext = fs::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(std::tolower(c));
    });
    for (const char* known : kExtensions)
        if (ext == known)
            return true;
    return false;
}

bool frameNameLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            // Compare the two numbers by value: without leading zeros the
            // longer one is larger, equal lengths compare as text.
            size_t endA = i;
            size_t endB = j;
            while (endA < a.size() &&
                   std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() &&
                   std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            size_t startA = i;
            size_t startB = j;
            while (startA + 1 < endA && a[startA] == '0')
                ++startA;
            while (startB + 1 < endB && b[startB] == '0')
                ++startB;
            size_t lenA = endA - startA;
            size_t lenB = endB - startB;
            if (lenA != lenB)
                return lenA < lenB;
            int cmp = a.compare(startA, lenA, b, startB, lenB);
            if (cmp != 0)
                return cmp < 0;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) <
                   static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    // Same value throughout ("f01" and "f1"): fall back to plain order so
    // that the order is total.
    return a < b;
}

std::vector<std::string> listFrameFiles(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || !isFrameFileName(name))
            continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), frameNameLess);
    std::vector<std::string> files;
    for (const std::string& name : names)
        files.push_back((fs::path(dir) / name).string());
    return files;
}

std::unique_ptr<FrameSource>
FrameSource::open(const std::vector<std::string>& inputs, std::string& error)
{
    std::error_code ec;
    if (inputs.size() == 2) {
        for (const std::string& file : inputs) {
            if (!fs::is_regular_file(file, ec)) {
                error = "cannot read image " + file + ": no such file";
                return nullptr;
            }
        }
        return std::make_unique<ImageListSource>(inputs);
    }
    if (inputs.size() != 1) {
        error = "give one video or folder, or two images";
        return nullptr;
    }

    const std::string& input = inputs[0];
    if (fs::is_directory(input, ec)) {
        std::vector<std::string> files = listFrameFiles(input);
        if (files.size() < 2) {
            error = "folder " + input + " holds fewer than two frame images";
            return nullptr;
        }
        return std::make_unique<ImageListSource>(std::move(files));
    }
    if (!fs::exists(input, ec)) {
        error = "cannot read input " + input + ": no such file or folder";
        return nullptr;
    }
    auto video = std::make_unique<VideoSource>();
    if (!video->open(input, error))
        return nullptr;
    return video;
}

} // namespace ulk::exporter
