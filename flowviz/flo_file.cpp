#include "flo_file.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace ulk::viz {

namespace {

// The tag that opens every file; as a float it reads 202021.25, which lets
// a reader see a file written with the wrong byte order.
constexpr char kTag[4] = {'P', 'I', 'E', 'H'};
// Tag, width and height.
constexpr std::streamoff kHeaderBytes = 12;
// Two 32-bit floats per pixel.
constexpr std::uint64_t kBytesPerPixel = 8;

void putInt32(char* out, std::int32_t value)
{
    const auto u = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

std::int32_t getInt32(const char* in)
{
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i]))
             << (8 * i);
    return static_cast<std::int32_t>(u);
}

// The bytes of a field of this many pixels, in decimal, exact beyond 64
// bits.
std::string byteCountText(std::uint64_t pixels)
{
    unsigned __int128 bytes =
        static_cast<unsigned __int128>(pixels) * kBytesPerPixel;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + bytes % 10));
        bytes /= 10;
    } while (bytes != 0);
    return digits;
}

} // namespace

bool writeFlowFile(const std::string& path, const cv::Mat& flow,
                   std::string& error)
{
    if (flow.empty() || flow.type() != CV_32FC2 || flow.dims != 2) {
        error = "cannot write " + path + ": the field is not a non-empty " +
                "two-channel float map";
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    char header[kHeaderBytes];
    std::memcpy(header, kTag, sizeof kTag);
    putInt32(header + 4, flow.cols);
    putInt32(header + 8, flow.rows);
    file.write(header, sizeof header);
    // The floats go out in the machine's order, little-endian on every
    // platform the program builds for, as other writers of the format do.
    const auto rowBytes =
        static_cast<std::streamsize>(flow.cols * flow.elemSize());
    for (int y = 0; y < flow.rows && file; ++y)
        file.write(flow.ptr<char>(y), rowBytes);
    file.close();
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool readFlowFile(const std::string& path, cv::Mat& flow, std::string& error)
{
    flow.release();
    std::error_code ec;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file || std::filesystem::is_directory(path, ec)) {
        error = "cannot open " + path;
        return false;
    }
    const std::streamoff length = file.tellg();
    file.seekg(0);
    char header[kHeaderBytes];
    if (length < kHeaderBytes || !file.read(header, sizeof header)) {
        error = path + " is too short for a flow file";
        return false;
    }
    if (std::memcmp(header, kTag, sizeof kTag) != 0) {
        error = path + " is not a flow file (no PIEH tag)";
        return false;
    }
    const std::int32_t width = getInt32(header + 4);
    const std::int32_t height = getInt32(header + 8);
    if (width <= 0 || height <= 0) {
        error = path + " gives a size of " + std::to_string(width) + " x " +
                std::to_string(height);
        return false;
    }
    // The size is checked against the file's length before anything is
    // allocated, so a damaged header cannot ask for gigabytes. Two 31-bit
    // sizes times 8 bytes may pass 64 bits, so the count is compared in
    // pixels, which fit.
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const auto have = static_cast<std::uint64_t>(length - kHeaderBytes);
    if (have % kBytesPerPixel != 0 || have / kBytesPerPixel != pixels) {
        error = path + " holds " + std::to_string(have) +
                " bytes of flow, but " + std::to_string(width) + " x " +
                std::to_string(height) + " needs " + byteCountText(pixels);
        return false;
    }
    cv::Mat field(height, width, CV_32FC2);
    const auto rowBytes =
        static_cast<std::streamsize>(field.cols * field.elemSize());
    for (int y = 0; y < field.rows; ++y) {
        if (!file.read(field.ptr<char>(y), rowBytes)) {
            error = "cannot read " + path;
            return false;
        }
    }
    flow = field;
    return true;
}

} // namespace ulk::viz
